#pragma once

#include <QString>

#include <functional>

#include <libisofs/libisofs.h>

// Calls Visit for every node below Dir (a folder before what it holds), with its path: Prefix
// and the names down to it, joined by '/'. A node for which Visit returns false is not walked
// into.
inline void WalkIsoTree(IsoDir* Dir, const QString& Prefix,
                        const std::function<bool(IsoNode* Node, const QString& Path)>& Visit) {
    IsoDirIter* iter = nullptr;
    if (iso_dir_get_children(Dir, &iter) < 0)
        return;
    IsoNode* node = nullptr;
    while (iso_dir_iter_next(iter, &node) == 1) {
        const QString path = Prefix + QString::fromUtf8(iso_node_get_name(node));
        if (Visit(node, path) && iso_node_get_type(node) == LIBISO_DIR)
            WalkIsoTree(reinterpret_cast<IsoDir*>(node), path + u'/', Visit);
    }
    iso_dir_iter_free(iter);
}
