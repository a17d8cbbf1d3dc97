#include "archive/disc_readback.h"

#include "archive/disc_burner.h"
#include "archive/iso_tree_walk.h"

#include <QCryptographicHash>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

namespace {

// Blocks read at a time: large enough for a fast sequential read, small enough that a cancel
// or a release of the engine is answered at once.
constexpr int kChunkBlocks = 32;

// Reads whole blocks from the drive; false when any of them cannot be read.
bool ReadBlocks(burn::burn_drive* Drive, qint64 Lba, int Blocks, char* Out) {
    off_t count = 0;
    // Quietly, and without libburn's own block-by-block retry: the caller retries single blocks.
    const int rc = burn::burn_read_data(Drive, off_t(Lba) * kDiscBlockBytes, Out,
                                        off_t(Blocks) * kDiscBlockBytes, &count, 2 | 4);
    return rc > 0;
}

// libisofs reads the directory tree through this source, a few blocks ahead at a time.
struct TreeSource {
    burn::burn_drive* Drive = nullptr;
    std::vector<char> Cache = std::vector<char>(size_t(kChunkBlocks) * kDiscBlockBytes);
    qint64 CacheLba = -1;
    int CacheBlocks = 0;
};

int TreeOpen(IsoDataSource*) {
    return 1;
}

int TreeClose(IsoDataSource*) {
    return 1;
}

int TreeRead(IsoDataSource* Source, uint32_t Lba, uint8_t* Buffer) {
    auto* tree = static_cast<TreeSource*>(Source->data);
    if (tree->CacheLba < 0 || Lba < tree->CacheLba || Lba >= tree->CacheLba + tree->CacheBlocks) {
        tree->CacheLba = -1;
        // Near the end of a disc the whole run may not exist; then one block.
        for (int blocks : {kChunkBlocks, 1}) {
            if (ReadBlocks(tree->Drive, Lba, blocks, tree->Cache.data())) {
                tree->CacheLba = Lba;
                tree->CacheBlocks = blocks;
                break;
            }
        }
        if (tree->CacheLba < 0)
            return ISO_DATA_SOURCE_FAILURE;
    }
    std::memcpy(Buffer, tree->Cache.data() + (Lba - tree->CacheLba) * kDiscBlockBytes,
                kDiscBlockBytes);
    return 1;
}

void TreeFree(IsoDataSource* Source) {
    delete static_cast<TreeSource*>(Source->data);
}

struct DiscFile {
    QString Path;
    QByteArray RecordedMd5; // empty when none is recorded
    QCryptographicHash Sha256{QCryptographicHash::Sha256};
    QCryptographicHash Md5{QCryptographicHash::Md5};
    bool KeepContent = false; // the checksum list itself
    QByteArray Content;
};

// One extent of a file's data on the disc.
struct Extent {
    qint64 Lba = 0;
    qint64 Bytes = 0;
    DiscFile* File = nullptr;

    qint64 EndLba() const { return Lba + (Bytes + kDiscBlockBytes - 1) / kDiscBlockBytes; }
};

// Every regular file of the imported tree with its path, recorded MD5 and extents.
void CollectFiles(IsoImage* Image, std::vector<std::unique_ptr<DiscFile>>& Files,
                  std::vector<Extent>& Extents) {
    WalkIsoTree(iso_image_get_root(Image), QString(), [&](IsoNode* Node, const QString& Path) {
        if (iso_node_get_type(Node) != LIBISO_FILE)
            return true;
        auto* isoFile = reinterpret_cast<IsoFile*>(Node);
        auto file = std::make_unique<DiscFile>();
        file->Path = Path;
        file->KeepContent = Path == QLatin1String(kChecksumListName);
        char md5[16];
        if (iso_file_get_md5(Image, isoFile, md5, 0) == 1)
            file->RecordedMd5 = QByteArray(md5, 16);
        int count = 0;
        iso_file_section* sections = nullptr;
        if (iso_file_get_old_image_sections(isoFile, &count, &sections, 0) == 1) {
            for (int i = 0; i < count; ++i)
                Extents.push_back({sections[i].block, sections[i].size, file.get()});
            std::free(sections);
        }
        Files.push_back(std::move(file));
        return true;
    });
}

struct SessionSum {
    bool Recorded = false;
    qint64 StartLba = 0;
    qint64 EndLba = 0;
    QByteArray Md5;
    QCryptographicHash Computed{QCryptographicHash::Md5};
};

// Reads every block that holds file data or belongs to the summed session, in disc order,
// feeding each file's hashes and the session's MD5. Returns the first unreadable block's
// address, or -1.
qint64 ReadData(burn::burn_drive* Drive, std::vector<Extent>& Extents, SessionSum& Session,
                std::atomic<qint64>& BytesRead, const std::atomic<bool>& Cancel) {
    std::sort(Extents.begin(), Extents.end(),
              [](const Extent& A, const Extent& B) { return A.Lba < B.Lba; });
    std::vector<char> buffer(size_t(kChunkBlocks) * kDiscBlockBytes);
    size_t next = 0;          // first extent not yet begun
    std::vector<Extent> open; // extents begun and not yet ended
    qint64 lba = Extents.empty() ? Session.StartLba : Extents.front().Lba;
    if (Session.Recorded)
        lba = std::min(lba, Session.StartLba);
    for (;;) {
        if (Cancel.load())
            return lba;
        // Skip what neither a file nor the summed session covers.
        if (open.empty()) {
            qint64 wanted = next < Extents.size() ? Extents[next].Lba : -1;
            if (Session.Recorded && lba < Session.EndLba)
                wanted = wanted < 0 ? std::max(lba, Session.StartLba)
                                    : std::min(wanted, std::max(lba, Session.StartLba));
            if (wanted < 0)
                return -1;
            lba = std::max(lba, wanted);
        }
        qint64 end = lba + kChunkBlocks;
        while (next < Extents.size() && Extents[next].Lba < end)
            open.push_back(Extents[next++]);
        // Stop the run at the last block anything needs.
        qint64 last = Session.Recorded && lba < Session.EndLba ? Session.EndLba : lba;
        for (const Extent& e : open)
            last = std::max(last, e.EndLba());
        end = std::min(end, std::max(last, lba + 1));
        const int blocks = int(end - lba);
        if (!ReadBlocks(Drive, lba, blocks, buffer.data())) {
            // Find the first block that cannot be read.
            for (qint64 b = lba; b < end; ++b) {
                if (!ReadBlocks(Drive, b, 1, buffer.data() + (b - lba) * kDiscBlockBytes))
                    return b;
            }
        }
        if (Session.Recorded) {
            const qint64 from = std::max(lba, Session.StartLba);
            const qint64 to = std::min(end, Session.EndLba);
            if (from < to)
                Session.Computed.addData(QByteArrayView(
                    buffer.data() + (from - lba) * kDiscBlockBytes, (to - from) * kDiscBlockBytes));
        }
        for (auto it = open.begin(); it != open.end();) {
            const qint64 from = std::max(lba, it->Lba);
            const qint64 done = (from - it->Lba) * kDiscBlockBytes;
            const qint64 take = std::min(it->Bytes - done, (end - from) * kDiscBlockBytes);
            if (take > 0) {
                const QByteArrayView data(buffer.data() + (from - lba) * kDiscBlockBytes, take);
                it->File->Sha256.addData(data);
                it->File->Md5.addData(data);
                if (it->File->KeepContent)
                    it->File->Content += data.toByteArray();
            }
            it = it->EndLba() <= end ? open.erase(it) : it + 1;
        }
        BytesRead += qint64(blocks) * kDiscBlockBytes;
        lba = end;
        if (open.empty() && next >= Extents.size() && (!Session.Recorded || lba >= Session.EndLba))
            return -1;
    }
}

DiscCheckResult Failed(const QString& BadFile, const QString& Reason) {
    DiscCheckResult result;
    result.BadFile = BadFile;
    result.Reason = Reason;
    return result;
}

QString IsoText(int Code) {
    const char* text = iso_error_to_msg(Code);
    return text ? QString::fromUtf8(text) : QStringLiteral("error %1").arg(Code);
}

} // namespace

DiscCheckResult CheckSession(burn::burn_drive* Drive, int StartLba,
                             const std::optional<QList<ChecksumEntry>>& Expected,
                             std::atomic<qint64>& BytesRead, const std::atomic<bool>& Cancel) {
    IsoImage* image = nullptr;
    if (iso_image_new("VERIFY", &image) < 0)
        return Failed(QString(), QStringLiteral("the image library cannot read"));
    auto* source = static_cast<IsoDataSource*>(std::calloc(1, sizeof(IsoDataSource)));
    source->refcount = 1;
    source->open = TreeOpen;
    source->close = TreeClose;
    source->read_block = TreeRead;
    source->free_data = TreeFree;
    source->data = new TreeSource{Drive};
    IsoReadOpts* options = nullptr;
    iso_read_opts_new(&options, 0);
    iso_read_opts_set_start_block(options, uint32_t(StartLba));
    // Load the recorded MD5 sums and refuse a tree whose own checksum tags do not match.
    iso_read_opts_set_no_md5(options, 0);
    // Where the sums are is told by extended attributes of the Rock Ridge tree.
    iso_read_opts_set_no_rockridge(options, 0);
    iso_read_opts_set_no_aaip(options, 0);
    const int rc = iso_image_import(image, source, options, nullptr);
    iso_read_opts_free(options);
    iso_data_source_unref(source);
    if (rc < 0) {
        iso_image_unref(image);
        return Failed(QString(),
                      QStringLiteral("the disc's file system cannot be read: %1").arg(IsoText(rc)));
    }

    std::vector<std::unique_ptr<DiscFile>> files;
    std::vector<Extent> extents;
    CollectFiles(image, files, extents);
    SessionSum session;
    uint32_t start = 0;
    uint32_t end = 0;
    char md5[16];
    if (iso_image_get_session_md5(image, &start, &end, md5, 0) == 1) {
        session.Recorded = true;
        session.StartLba = start;
        session.EndLba = end;
        session.Md5 = QByteArray(md5, 16);
    }
    iso_image_unref(image);

    const qint64 unreadable = ReadData(Drive, extents, session, BytesRead, Cancel);
    if (Cancel.load())
        return Failed(QString(), QStringLiteral("reading was cancelled"));
    if (unreadable >= 0) {
        for (const Extent& e : extents) {
            if (unreadable >= e.Lba && unreadable < e.EndLba())
                return Failed(e.File->Path,
                              QStringLiteral("block %1 cannot be read").arg(unreadable));
        }
        return Failed(QString(), QStringLiteral("block %1 cannot be read").arg(unreadable));
    }

    QHash<QString, DiscFile*> byPath;
    for (const auto& file : files)
        byPath.insert(file->Path, file.get());
    QList<ChecksumEntry> list;
    if (Expected) {
        list = *Expected;
    } else {
        DiscFile* sums = byPath.value(QString::fromLatin1(kChecksumListName));
        if (!sums)
            return Failed(QString::fromLatin1(kChecksumListName),
                          QStringLiteral("the disc carries no checksum list"));
        QString error;
        list = ParseChecksumList(sums->Content, &error);
        if (!error.isEmpty())
            return Failed(QString::fromLatin1(kChecksumListName), error);
        // The list vouches for the others; its own MD5 sum vouches for it.
        list.append({sums->Path, sums->Sha256.result()});
    }
    if (!session.Recorded)
        return Failed(QString(), QStringLiteral("the disc carries no recorded MD5 sums"));

    DiscCheckResult result;
    QSet<QString> listed;
    for (const ChecksumEntry& entry : list) {
        listed.insert(entry.Name);
        DiscFile* file = byPath.value(entry.Name);
        if (!file)
            return Failed(entry.Name, QStringLiteral("is not on the disc"));
        if (file->RecordedMd5.isEmpty())
            return Failed(entry.Name, QStringLiteral("has no recorded MD5 sum"));
        if (file->Md5.result() != file->RecordedMd5)
            return Failed(entry.Name, QStringLiteral("does not match its recorded MD5 sum"));
        if (file->Sha256.result() != entry.Sha256)
            return Failed(entry.Name, Expected ? QStringLiteral("differs from its source")
                                               : QStringLiteral("does not match its SHA-256 "
                                                                "sum in %1")
                                                     .arg(QString::fromLatin1(kChecksumListName)));
        if (entry.Name != QLatin1String(kChecksumListName))
            ++result.FilesMatched;
    }
    for (const auto& file : files) {
        if (!listed.contains(file->Path))
            return Failed(
                file->Path,
                QStringLiteral("is not in %1").arg(QString::fromLatin1(kChecksumListName)));
    }
    if (session.Computed.result() != session.Md5)
        return Failed(QString(), QStringLiteral("the session does not match its recorded MD5 sum"));
    result.Ok = true;
    return result;
}
