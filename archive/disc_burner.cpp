#include "archive/disc_burner.h"

#include "archive/disc_checksums.h"
#include "archive/disc_readback.h"
#include "archive/drive_address.h"
#include "archive/iso_tree_walk.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

// libburn wraps its C declarations in namespace burn when compiled as C++; libisofs declares
// its own (layout-identical) struct burn_source in the global namespace.
#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

namespace {

// ---------------------------------------------------------------------------------------------
// Process-wide library start-up. libburn and libisofs keep global state (message queues, drive
// tables), so every engine shares one start and the last one out shuts them down.

std::mutex gLibraryMutex;
int gIsoUsers = 0;
bool gIsoReady = false;
int gBurnUsers = 0;
bool gBurnReady = false;

bool AcquireIso() {
    std::lock_guard lock(gLibraryMutex);
    if (gIsoUsers++ == 0) {
        gIsoReady = iso_init() >= 0;
        if (gIsoReady) {
            // Without this libisofs converts names through the locale's character set, and in
            // a "C" locale Polish letters never reach the Joliet tree.
            iso_set_local_charset(const_cast<char*>("UTF-8"), 0);
            // Queue what goes wrong so it can be handed to the window; print nothing.
            iso_set_msgs_severities(const_cast<char*>("SORRY"), const_cast<char*>("NEVER"),
                                    const_cast<char*>("libisofs: "));
        }
    }
    return gIsoReady;
}

void ReleaseIso() {
    std::lock_guard lock(gLibraryMutex);
    if (--gIsoUsers == 0 && gIsoReady) {
        iso_finish();
        gIsoReady = false;
    }
}

bool AcquireBurn() {
    std::lock_guard lock(gLibraryMutex);
    if (gBurnUsers++ == 0) {
        gBurnReady = burn::burn_initialize() > 0;
        // Everything is queued: the end of libburn's writer thread is told only as a DEBUG
        // message. Nothing is printed.
        if (gBurnReady)
            burn::burn_msgs_set_severities(const_cast<char*>("ALL"), const_cast<char*>("NEVER"),
                                           const_cast<char*>("libburn: "));
    }
    return gBurnReady;
}

void ReleaseBurn() {
    std::lock_guard lock(gLibraryMutex);
    if (--gBurnUsers == 0 && gBurnReady) {
        burn::burn_finish();
        gBurnReady = false;
    }
}

// Empties both message queues so a later failure reports only its own messages.
void DiscardLibraryMessages() {
    int code = 0;
    int osErrno = 0;
    int imageId = 0;
    char text[BURN_MSGS_MESSAGE_LEN];
    char severity[80];
    burn::burn_msgs_obtain(const_cast<char*>("NEVER"), &code, text, &osErrno, severity);
    iso_obtain_msgs(const_cast<char*>("NEVER"), &code, &imageId, text, severity);
}

struct LibraryMessage {
    int Code = 0;
    QString Severity;
    QString Text;
};

// libburn's refusal to start writing while an earlier run of its writer has not ended. It comes
// shortly after a failed run, whose drive already reads as idle.
constexpr int kBurnStillBusy = 0x20102;
// libburn's writer thread has ended. The drive reads as idle a little earlier, while that thread
// still uses the drive and the data source.
constexpr int kBurnWriterEnded = 0x20178;

bool IsFailureSeverity(const QString& Severity) {
    return Severity == QLatin1String("FAILURE") || Severity == QLatin1String("FATAL") ||
           Severity == QLatin1String("ABORT");
}

// Messages worth telling the operator: SORRY and worse.
bool IsReasonSeverity(const QString& Severity) {
    return Severity == QLatin1String("SORRY") || IsFailureSeverity(Severity);
}

// The libraries' queued messages (SORRY and worse): libisofs first (it is the source of the
// data), then libburn.
QList<LibraryMessage> TakeMessages() {
    QList<LibraryMessage> messages;
    int code = 0;
    int osErrno = 0;
    int imageId = 0;
    char text[BURN_MSGS_MESSAGE_LEN];
    char severity[80];
    while (iso_obtain_msgs(const_cast<char*>("SORRY"), &code, &imageId, text, severity) == 1)
        messages.append({code, QString::fromLatin1(severity), QString::fromUtf8(text).trimmed()});
    while (burn::burn_msgs_obtain(const_cast<char*>("ALL"), &code, text, &osErrno, severity) == 1) {
        QString line = QString::fromUtf8(text).trimmed();
        if (osErrno != 0)
            line += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(osErrno)));
        messages.append({code, QString::fromLatin1(severity), line});
    }
    return messages;
}

QStringList MessageLines(const QList<LibraryMessage>& Messages) {
    QStringList lines;
    for (const LibraryMessage& m : Messages) {
        if (IsReasonSeverity(m.Severity))
            lines.append(m.Text);
    }
    lines.removeAll(QString());
    lines.removeDuplicates();
    return lines;
}

// The libraries' own reasons for the last failure, one message a line.
QStringList TakeLibraryMessages() {
    return MessageLines(TakeMessages());
}

QString IsoReason(int Code) {
    const char* text = iso_error_to_msg(Code);
    QStringList lines = TakeLibraryMessages();
    if (text && *text && !lines.contains(QString::fromUtf8(text)))
        lines.prepend(QString::fromUtf8(text));
    return lines.join(u'\n');
}

QString BurnReason(const QString& Fallback) {
    const QStringList lines = TakeLibraryMessages();
    return lines.isEmpty() ? Fallback : lines.join(u'\n');
}

// Counts folders (other than Dir itself) and files below Dir, leaving Skip out.
void CountTree(IsoDir* Dir, int& Folders, int& Files, IsoNode* Skip = nullptr) {
    WalkIsoTree(Dir, QString(), [&](IsoNode* Node, const QString&) {
        if (Node == Skip)
            return false;
        ++(iso_node_get_type(Node) == LIBISO_DIR ? Folders : Files);
        return true;
    });
}

// A file of the image whose SHA-256 goes into the checksum list.
struct ListedFile {
    QString Name; // path on the disc
    IsoStream* Stream = nullptr;
};

// The files below Dir in the image's (name) order, leaving Skip out. Each stream is referenced
// and must be let go with iso_stream_unref.
void CollectListedFiles(IsoDir* Dir, IsoNode* Skip, QList<ListedFile>& Files) {
    WalkIsoTree(Dir, QString(), [&](IsoNode* Node, const QString& Path) {
        if (Node == Skip)
            return false;
        if (iso_node_get_type(Node) == LIBISO_FILE) {
            IsoStream* stream = iso_file_get_stream(reinterpret_cast<IsoFile*>(Node));
            iso_stream_ref(stream);
            Files.append({Path, stream});
        }
        return true;
    });
}

// Gives every name below Dir the form it takes on the disc; false (Error set) when two names
// become one.
bool UseDiscNames(IsoDir* Dir, QString* Error) {
    IsoDirIter* iter = nullptr;
    if (iso_dir_get_children(Dir, &iter) < 0)
        return true;
    QList<IsoNode*> nodes;
    IsoNode* node = nullptr;
    while (iso_dir_iter_next(iter, &node) == 1)
        nodes.append(node);
    iso_dir_iter_free(iter);
    for (IsoNode* child : nodes) {
        const QString name = QString::fromUtf8(iso_node_get_name(child));
        const QString discName = DiscName(name);
        if (discName != name && iso_node_set_name(child, discName.toUtf8().constData()) < 0) {
            *Error = QStringLiteral("\"%1\" and another name both become \"%2\" on the disc")
                         .arg(name, discName);
            return false;
        }
        if (iso_node_get_type(child) == LIBISO_DIR &&
            !UseDiscNames(reinterpret_cast<IsoDir*>(child), Error))
            return false;
    }
    return true;
}

// SHA-256 of a stream's whole content; empty when it cannot be read.
QByteArray StreamSha256(IsoStream* Stream, const std::atomic<bool>& Cancel) {
    if (iso_stream_open(Stream) < 0)
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(1 << 16);
    int count = 0;
    while ((count = iso_stream_read(Stream, buffer.data(), buffer.size())) > 0 && !Cancel)
        hash.addData(QByteArrayView(buffer.data(), count));
    iso_stream_close(Stream);
    return count == 0 ? hash.result() : QByteArray();
}

// Takes a node (and, for a folder, everything below it) out of the image.
void RemoveNode(IsoNode* Node) {
    if (iso_node_get_type(Node) == LIBISO_DIR)
        iso_node_remove_tree(Node, nullptr);
    else
        iso_node_remove(Node);
}

struct WriteJob {
    burn::burn_disc* Disc = nullptr;
    burn::burn_session* Session = nullptr;
    burn::burn_track* Track = nullptr;
    burn::burn_write_opts* Options = nullptr;
    std::vector<burn::burn_source*> Sources; // image source and, when used, the fifo over it

    void Free() {
        if (Options)
            burn::burn_write_opts_free(Options);
        for (burn::burn_source* s : Sources)
            burn::burn_source_free(s);
        if (Track)
            burn::burn_track_free(Track);
        if (Session)
            burn::burn_session_free(Session);
        if (Disc)
            burn::burn_disc_free(Disc);
        *this = WriteJob();
    }
};

} // namespace

struct TDiscBurner::Impl {
    TDiscBurner& Owner;
    // Queued events are posted to this object, which lives on the creating thread and dies
    // with the engine, so an event can never reach a released engine.
    QObject Context;

    bool IsoUp = false;
    bool BurnUp = false;
    bool Initialized = false;
    QString Error;

    struct DriveEntry {
        QString Name;
        DriveAddress Address;
    };
    QList<DriveEntry> DriveList;

    std::optional<DriveAddress> Selected;
    burn::burn_drive_info* DriveInfo = nullptr;
    burn::burn_drive* Drive = nullptr;

    IsoImage* Image = nullptr;
    int MaxFiles = kImageMaxFiles;
    int MaxFolders = kImageMaxFolders;
    // What the image holds besides its root and the checksum list; kept up to date on the
    // creating thread so that nothing walks the tree while the background thread uses it.
    int Folders = 0;
    int Files = 0;
    // The checksum list at the root, added when the image is laid out. Its size follows from
    // the names alone; its lines are filled in (in place, same size) just before writing.
    IsoNode* ListNode = nullptr;
    unsigned char* ListBuffer = nullptr;
    size_t ListBytes = 0;
    // Laid-out image waiting to be written (or dropped when the image changes).
    burn::burn_source* Pending = nullptr;
    qint64 ImageBytes = 0;

    // Writing and reading back, one at a time, on the background thread Worker.
    std::thread Worker;
    std::atomic<bool> Writing{false};
    std::atomic<bool> Verifying{false};
    std::atomic<qint64> Written{0};
    std::atomic<qint64> Verified{0};
    std::mutex WakeMutex;
    std::condition_variable Wake;
    std::atomic<bool> CancelRequested{false}; // set under WakeMutex so a waiting worker wakes
    QString CreatedFile; // an image file this writing created, removed if it fails
    // The last writing that ended well: its checksum list, where its session starts and its
    // size, for reading it back.
    std::optional<QList<ChecksumEntry>> WrittenList;
    int WrittenLba = 0;
    qint64 WrittenBytes = 0;

    explicit Impl(TDiscBurner& O) : Owner(O) {
        IsoUp = AcquireIso();
        NewImage();
    }

    ~Impl() {
        StopWorker();
        DropPending();
        ReleaseDrive(false);
        if (Image)
            iso_image_unref(Image);
        if (BurnUp)
            ReleaseBurn();
        ReleaseIso();
    }

    bool Fail(const QString& Why) {
        Error = Why;
        return false;
    }

    bool NewImage() {
        if (!IsoUp)
            return Fail(QStringLiteral("The image library (libisofs) could not be started"));
        IsoImage* image = nullptr;
        const int rc = iso_image_new("ORVEXFM", &image);
        if (rc < 0)
            return Fail(IsoReason(rc));
        // Store what links point to: Joliet has no symbolic links.
        iso_tree_set_follow_symlinks(image, 1);
        iso_tree_set_ignore_hidden(image, 0);
        iso_tree_set_replace_mode(image, ISO_REPLACE_NEVER);
        if (Image)
            iso_image_unref(Image);
        Image = image;
        ListNode = nullptr;
        ListBuffer = nullptr;
        Recount();
        return true;
    }

    void Recount() {
        Folders = 0;
        Files = 0;
        if (Image)
            CountTree(iso_image_get_root(Image), Folders, Files, ListNode);
    }

    void RemoveChecksumList() {
        if (ListNode)
            iso_node_remove(ListNode);
        ListNode = nullptr;
        ListBuffer = nullptr;
        ListBytes = 0;
    }

    // Adds the checksum list to the root with room for one line per file; its hashes are
    // placeholders until PrepareImage fills them in.
    bool AddChecksumList() {
        RemoveChecksumList();
        QList<ListedFile> files;
        CollectListedFiles(iso_image_get_root(Image), nullptr, files);
        QByteArray text;
        for (const ListedFile& file : files) {
            text += ChecksumLine({file.Name, QByteArray(32, '\0')});
            iso_stream_unref(file.Stream);
        }
        // The stream takes the buffer over and frees it with the node.
        auto* buffer =
            static_cast<unsigned char*>(std::malloc(size_t(std::max<qsizetype>(1, text.size()))));
        std::memcpy(buffer, text.constData(), size_t(text.size()));
        IsoStream* stream = nullptr;
        int rc = iso_memory_stream_new(buffer, size_t(text.size()), &stream);
        if (rc < 0) {
            std::free(buffer);
            return Fail(IsoReason(rc));
        }
        IsoFile* file = nullptr;
        rc = iso_tree_add_new_file(iso_image_get_root(Image), kChecksumListName, stream, &file);
        if (rc < 0) {
            iso_stream_unref(stream);
            if (rc == int(ISO_NODE_NAME_NOT_UNIQUE))
                return Fail(QStringLiteral("%1: the root of the disc keeps this name for its "
                                           "checksum list")
                                .arg(QString::fromLatin1(kChecksumListName)));
            return Fail(IsoReason(rc));
        }
        iso_node_set_permissions(reinterpret_cast<IsoNode*>(file), 0444);
        iso_node_set_mtime(reinterpret_cast<IsoNode*>(file), std::time(nullptr));
        ListNode = reinterpret_cast<IsoNode*>(file);
        ListBuffer = buffer;
        ListBytes = size_t(text.size());
        return true;
    }

    void DropPending() {
        if (!Pending)
            return;
        // The image builder thread is already running; stop it before letting go.
        if (Pending->cancel)
            Pending->cancel(Pending);
        burn::burn_source_free(Pending);
        Pending = nullptr;
    }

    void ReleaseDrive(bool EjectDisc) {
        if (Drive)
            burn::burn_drive_release(Drive, EjectDisc ? 1 : 0);
        if (DriveInfo)
            burn::burn_drive_info_free(DriveInfo);
        Drive = nullptr;
        DriveInfo = nullptr;
    }

    bool GrabSelected() {
        if (Drive)
            return true;
        if (!Selected)
            return Fail(QStringLiteral("No drive is selected"));
        if (!BurnUp)
            return Fail(QStringLiteral("The drive-access layer is not initialised"));
        QByteArray address = QFile::encodeName(Selected->Address);
        const int rc = burn::burn_drive_scan_and_grab(&DriveInfo, address.data(), 1);
        if (rc <= 0 || !DriveInfo) {
            DriveInfo = nullptr;
            return Fail(
                BurnReason(QStringLiteral("Drive %1 could not be opened").arg(Selected->Address)));
        }
        Drive = DriveInfo[0].drive;
        return true;
    }

    bool Busy() {
        if (Writing.load())
            return !Fail(QStringLiteral("The drive is still writing"));
        if (Verifying.load())
            return !Fail(QStringLiteral("The drive is still being read back"));
        return false;
    }

    // The image folder for TargetFolder, created as needed; FirstCreated is the outermost folder
    // made here (so a failed add can take them away again), or null.
    IsoDir* FolderFor(const QString& TargetFolder, IsoNode** FirstCreated) {
        *FirstCreated = nullptr;
        IsoDir* dir = iso_image_get_root(Image);
        const QStringList parts =
            QString(TargetFolder).replace(u'\\', u'/').split(u'/', Qt::SkipEmptyParts);
        for (const QString& part : parts) {
            const QByteArray name = part.toUtf8();
            IsoNode* node = nullptr;
            if (iso_dir_get_node(dir, name.constData(), &node) == 1) {
                if (iso_node_get_type(node) != LIBISO_DIR) {
                    Fail(QStringLiteral("\"%1\" in the image is a file, not a folder").arg(part));
                    return nullptr;
                }
                dir = reinterpret_cast<IsoDir*>(node);
                continue;
            }
            IsoDir* created = nullptr;
            const int rc = iso_tree_add_new_dir(dir, name.constData(), &created);
            if (rc < 0) {
                Fail(IsoReason(rc));
                return nullptr;
            }
            if (!*FirstCreated)
                *FirstCreated = reinterpret_cast<IsoNode*>(created);
            dir = created;
        }
        return dir;
    }

    bool AddFile(const QString& TargetFolder, const QString& Path) {
        if (Busy())
            return false;
        if (!Image && !NewImage())
            return false;
        const QFileInfo info(Path);
        if (!info.exists())
            return Fail(QStringLiteral("%1: no such file or folder").arg(Path));
        IsoNode* createdFolder = nullptr;
        IsoDir* parent = FolderFor(TargetFolder, &createdFolder);
        if (!parent) {
            if (createdFolder)
                RemoveNode(createdFolder);
            return false;
        }
        // The list is made again, for the new set of files, when the image is laid out.
        DropPending();
        RemoveChecksumList();
        const QByteArray name = DiscName(info.fileName()).toUtf8();
        const QByteArray local = QFile::encodeName(info.absoluteFilePath());
        IsoNode* existing = nullptr;
        if (iso_dir_get_node(parent, name.constData(), &existing) == 1) {
            if (!ReplaceFile())
                return Fail(
                    QStringLiteral("%1: %2").arg(Path, IsoReason(ISO_NODE_NAME_NOT_UNIQUE)));
            RemoveNode(existing);
        }
        IsoNode* added = nullptr;
        int rc = 0;
        if (info.isDir()) {
            IsoDir* dir = nullptr;
            rc = iso_tree_add_new_dir(parent, name.constData(), &dir);
            if (rc >= 0) {
                added = reinterpret_cast<IsoNode*>(dir);
                rc = iso_tree_add_dir_rec(Image, dir, local.constData());
            }
        } else {
            rc = iso_tree_add_new_node(Image, parent, name.constData(), local.constData(), &added);
        }
        QString nameClash;
        if (rc >= 0 && info.isDir() && !UseDiscNames(reinterpret_cast<IsoDir*>(added), &nameClash))
            rc = ISO_NODE_NAME_NOT_UNIQUE;
        if (rc < 0) {
            const QString reason = nameClash.isEmpty() ? IsoReason(rc) : nameClash;
            if (added)
                RemoveNode(added);
            if (createdFolder)
                RemoveNode(createdFolder);
            return Fail(QStringLiteral("%1: %2").arg(Path, reason));
        }
        Recount();
        if (Files > MaxFiles || Folders > MaxFolders) {
            RemoveNode(added);
            if (createdFolder)
                RemoveNode(createdFolder);
            Recount();
            return Fail(QStringLiteral("%1: the image has room for %2 files and %3 folders")
                            .arg(Path)
                            .arg(MaxFiles)
                            .arg(MaxFolders));
        }
        return true;
    }

    bool ReplaceFile() const { return Owner.ReplaceFile; }

    IsoWriteOpts* MakeWriteOptions() {
        IsoWriteOpts* opts = nullptr;
        int rc = iso_write_opts_new(&opts, 0);
        if (rc < 0) {
            Fail(IsoReason(rc));
            return nullptr;
        }
        iso_write_opts_set_iso_level(opts, 2);
        // MD5 sums of the session and of every file, for checking the disc later (xorriso
        // -check_md5). Where they are is told through Rock Ridge's extended attributes, so
        // Rock Ridge goes on too; its names are the Joliet names.
        iso_write_opts_set_rockridge(opts, 1);
        iso_write_opts_set_aaip(opts, 1);
        iso_write_opts_set_record_md5(opts, 1, 1);
        // The owner and mode of the operator's files are no business of the disc's readers.
        iso_write_opts_set_replace_mode(opts, 1, 2, 1, 1);
        iso_write_opts_set_default_file_mode(opts, 0444);
        iso_write_opts_set_joliet(opts, Owner.JolietFileSystem ? 1 : 0);
        if (Owner.JolietFileSystem) {
            // Report names are longer than Joliet's classic 64 characters allow.
            iso_write_opts_set_joliet_long_names(opts, 1);
            iso_write_opts_set_joliet_longer_paths(opts, 1);
        }
        return opts;
    }

    bool Layout() {
        if (Busy())
            return false;
        if (!Image)
            return Fail(QStringLiteral("There is no image"));
        DropPending();
        if (!AddChecksumList())
            return false;
        IsoWriteOpts* opts = MakeWriteOptions();
        if (!opts)
            return false;
        ::burn_source* source = nullptr;
        const int rc = iso_image_create_burn_source(Image, opts, &source);
        iso_write_opts_free(opts);
        if (rc < 0 || !source)
            return Fail(IsoReason(rc));
        Pending = reinterpret_cast<burn::burn_source*>(source);
        ImageBytes = Pending->get_size(Pending);
        return true;
    }

    qint64 FreeBlocks() {
        if (Busy() || !GrabSelected())
            return 0;
        const burn::burn_disc_status status = burn::burn_disc_get_status(Drive);
        if (status != burn::BURN_DISC_BLANK && status != burn::BURN_DISC_APPENDABLE) {
            if (!Selected->IsFile()) {
                Fail(QStringLiteral("The disc in %1 cannot be written").arg(Selected->Address));
                return 0;
            }
        }
        qint64 blocks = burn::burn_disc_available_space(Drive, nullptr) / kDiscBlockBytes;
        if (Selected->CapacityBlocks && *Selected->CapacityBlocks < blocks)
            blocks = *Selected->CapacityBlocks;
        return blocks;
    }

    // Claims the image file of a "stdio:" drive. libburn would silently overwrite whatever is
    // there; creating the file exclusively both refuses an existing one and keeps anyone from
    // slipping one in before libburn opens it.
    bool ClaimImageFile() {
        CreatedFile.clear();
        if (!Selected->IsFile())
            return true;
        const QString path = Selected->FilePath();
        const QFileInfo info(path);
        if (info.exists() && !info.isFile())
            return true; // a device or pipe: there is no file to overwrite
        const QByteArray local = QFile::encodeName(path);
        const int fd = ::open(local.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int err = errno;
            if (err == EEXIST)
                return Fail(QStringLiteral("The image file %1 already exists; it is not "
                                           "overwritten")
                                .arg(path));
            return Fail(QStringLiteral("The image file %1 cannot be created: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(err))));
        }
        ::close(fd);
        CreatedFile = path;
        return true;
    }

    void RemoveCreatedFile() {
        if (!CreatedFile.isEmpty())
            QFile::remove(CreatedFile);
        CreatedFile.clear();
    }

    // What the background thread needs to make and write the image, taken on the creating
    // thread so that it never reads the engine's settings while they may change.
    struct WritePlan {
        QList<ListedFile> Listed; // referenced streams, let go by the background thread
        IsoWriteOpts* Options = nullptr;
        bool Optical = false;
        bool PostGap = false;
        int CacheBlocks = 0;
        bool PerformOpc = false;
        bool UnderrunProof = false;
        bool Simulate = false;
        bool Multi = false;
        int ReadSpeed = 0;
        int WriteSpeed = 0;
    };

    bool StartWriting() {
        if (Busy())
            return false;
        if (!GrabSelected())
            return false;
        if (Folders == 0 && Files == 0)
            return Fail(QStringLiteral("The image is empty"));
        if (!Pending && !Layout())
            return false;
        const qint64 need = (ImageBytes + kDiscBlockBytes - 1) / kDiscBlockBytes;
        const qint64 free = FreeBlocks();
        if (need > free)
            return Fail(QStringLiteral("The image needs %1 blocks; the disc has %2 free")
                            .arg(need)
                            .arg(free));
        WritePlan plan;
        plan.Options = MakeWriteOptions();
        if (!plan.Options)
            return false;
        if (!ClaimImageFile()) {
            iso_write_opts_free(plan.Options);
            return false;
        }
        // The laid-out image carries placeholder hashes; the background thread makes it again
        // once the real ones are known.
        DropPending();
        CollectListedFiles(iso_image_get_root(Image), ListNode, plan.Listed);
        plan.Optical = burn::burn_drive_get_drive_role(Drive) == 1;
        plan.PostGap = plan.Optical && Owner.WritePostGap;
        plan.CacheBlocks =
            Owner.CacheSize >= 2 * kDiscBlockBytes ? int(Owner.CacheSize / kDiscBlockBytes) : 0;
        plan.PerformOpc = Owner.PerformOPC;
        plan.UnderrunProof = Owner.UnderrunProtection;
        plan.Simulate = Owner.TestWrite;
        // File drives know no sessions; only a real disc can be left open for more.
        plan.Multi = plan.Optical && !Owner.FinalizeDisc;
        plan.ReadSpeed = Owner.ReadSpeed;
        plan.WriteSpeed = Owner.WriteSpeed;
        DiscardLibraryMessages();

        Written = 0;
        Verified = 0;
        WrittenList.reset();
        {
            std::lock_guard lock(WakeMutex);
            CancelRequested = false;
        }
        if (Worker.joinable())
            Worker.join();
        Writing = true;
        Worker = std::thread([this, plan]() mutable { Write(plan); });
        return true;
    }

    // Runs on the background thread: the SHA-256 of every file into the checksum list, then
    // the image made again with it. Empty on success, else why not.
    QString PrepareImage(WritePlan& Plan, QList<ChecksumEntry>& List, burn::burn_source** Source) {
        QString error;
        for (const ListedFile& file : Plan.Listed) {
            const QByteArray sha =
                error.isEmpty() ? StreamSha256(file.Stream, CancelRequested) : QByteArray();
            if (error.isEmpty() && sha.isEmpty())
                error = CancelRequested ? QStringLiteral("Writing was cancelled")
                                        : QStringLiteral("%1 cannot be read").arg(file.Name);
            List.append({file.Name, sha});
            iso_stream_unref(file.Stream);
        }
        Plan.Listed.clear();
        if (error.isEmpty()) {
            const QByteArray text = ChecksumList(List);
            if (size_t(text.size()) != ListBytes) {
                error = QStringLiteral("The checksum list does not fit its place in the image");
            } else {
                std::memcpy(ListBuffer, text.constData(), ListBytes);
                List.append({QString::fromLatin1(kChecksumListName),
                             QCryptographicHash::hash(text, QCryptographicHash::Sha256)});
            }
        }
        if (error.isEmpty()) {
            ::burn_source* source = nullptr;
            const int rc = iso_image_create_burn_source(Image, Plan.Options, &source);
            if (rc < 0 || !source) {
                error = IsoReason(rc);
            } else {
                *Source = reinterpret_cast<burn::burn_source*>(source);
                // A file that grew or shrank since the layout no longer fits the space that
                // was checked.
                if ((*Source)->get_size(*Source) != ImageBytes)
                    error = QStringLiteral("The files changed while the image was being made");
            }
        }
        iso_write_opts_free(Plan.Options);
        Plan.Options = nullptr;
        return error;
    }

    // Runs on the background thread: puts the image on a track of its own; empty on success.
    QString PrepareJob(const WritePlan& Plan, burn::burn_source* Image, WriteJob& Job) {
        Job.Disc = burn::burn_disc_create();
        Job.Session = burn::burn_session_create();
        burn::burn_disc_add_session(Job.Disc, Job.Session, BURN_POS_END);
        Job.Track = burn::burn_track_create();
        burn::burn_track_define_data(Job.Track, 0, Plan.PostGap ? 300 * 1024 : 0, 1, BURN_MODE1);
        burn::burn_source* source = Image;
        Job.Sources.push_back(source);
        if (Plan.CacheBlocks > 0) {
            burn::burn_source* fifo =
                burn::burn_fifo_source_new(source, int(kDiscBlockBytes), Plan.CacheBlocks, 0);
            if (fifo) {
                Job.Sources.push_back(fifo);
                source = fifo;
            }
        }
        if (burn::burn_track_set_source(Job.Track, source) != burn::BURN_SOURCE_OK)
            return BurnReason(QStringLiteral("The image cannot be given to the drive"));
        burn::burn_session_add_track(Job.Session, Job.Track, BURN_POS_END);

        Job.Options = burn::burn_write_opts_new(Drive);
        burn::burn_write_opts_set_perform_opc(Job.Options, Plan.PerformOpc ? 1 : 0);
        burn::burn_write_opts_set_underrun_proof(Job.Options, Plan.UnderrunProof ? 1 : 0);
        burn::burn_write_opts_set_simulate(Job.Options, Plan.Simulate ? 1 : 0);
        burn::burn_write_opts_set_multi(Job.Options, Plan.Multi ? 1 : 0);
        burn::burn_drive_set_speed(Drive, Plan.ReadSpeed, Plan.WriteSpeed);
        char reasons[BURN_REASONS_LEN] = {};
        if (burn::burn_write_opts_auto_write_type(Job.Options, Job.Disc, reasons, 0) ==
            burn::BURN_WRITE_NONE) {
            const QString why = BurnReason(QStringLiteral("The drive offers no way to write"));
            return QStringLiteral("%1\n%2").arg(why, QString::fromUtf8(reasons).trimmed());
        }
        // Where this session will start, for reading it back.
        int lba = 0;
        int nwa = 0;
        WrittenLba = 0;
        if (Plan.Optical && burn::burn_disc_track_lba_nwa(Drive, Job.Options, 0, &lba, &nwa) == 1)
            WrittenLba = nwa;
        return QString();
    }

    // Runs on the background thread: libburn writes on a thread of its own; this one watches
    // it, keeps the byte counter and reports the end.
    void Write(WritePlan Plan) {
        QList<ChecksumEntry> list;
        burn::burn_source* image = nullptr;
        WriteJob job;
        QString failure = PrepareImage(Plan, list, &image);
        if (image && failure.isEmpty())
            failure = PrepareJob(Plan, image, job);
        else if (image)
            job.Sources.push_back(image);
        if (!failure.isEmpty()) {
            if (!job.Sources.empty() && job.Sources.front()->cancel)
                job.Sources.front()->cancel(job.Sources.front());
            job.Free();
            RemoveCreatedFile();
            Writing = false;
            PostEnd([this, failure] {
                if (Owner.OnWriteDone)
                    Owner.OnWriteDone(failure);
            });
            return;
        }
        bool finalizing = false;
        bool cancelSent = false;
        QList<LibraryMessage> messages;
        // Right after a failed run libburn may still refuse for a moment; try again for a while
        // rather than report a writing that never happened.
        constexpr int kAttempts = 40;
        for (int attempt = 1;; ++attempt) {
            burn::burn_disc_write(job.Options, job.Disc);
            Watch(finalizing, cancelSent);
            messages = TakeMessages();
            const bool refused =
                std::any_of(messages.begin(), messages.end(),
                            [](const LibraryMessage& m) { return m.Code == kBurnStillBusy; });
            if (!refused) {
                AwaitWriterEnd(messages);
                break;
            }
            if (cancelSent || attempt == kAttempts)
                break;
            std::unique_lock lock(WakeMutex);
            if (Wake.wait_for(lock, std::chrono::milliseconds(250),
                              [&] { return CancelRequested.load(); })) {
                cancelSent = true;
                break;
            }
        }
        // libburn's own verdict is not enough: it reports a refused run as well written.
        bool ok = burn::burn_drive_wrote_well(Drive) == 1 && !cancelSent;
        for (const LibraryMessage& m : messages) {
            if (m.Code == kBurnStillBusy || IsFailureSeverity(m.Severity))
                ok = false;
        }
        QStringList lines = MessageLines(messages);
        if (ok && !CreatedFile.isEmpty()) {
            const qint64 size = QFileInfo(CreatedFile).size();
            if (size < ImageBytes) {
                ok = false;
                lines.append(QStringLiteral("The image file %1 holds %2 of %3 bytes")
                                 .arg(CreatedFile)
                                 .arg(size)
                                 .arg(ImageBytes));
            }
        }
        QString error;
        if (!ok) {
            if (lines.isEmpty())
                lines.append(cancelSent ? QStringLiteral("Writing was cancelled")
                                        : QStringLiteral("Writing failed"));
            error = lines.join(u'\n');
        } else {
            Written = ImageBytes;
            WrittenList = list;
            WrittenBytes = ImageBytes;
        }
        job.Free();
        if (!ok)
            RemoveCreatedFile();
        else
            CreatedFile.clear();
        Writing = false;
        PostEnd([this, error, ok, finalizing] {
            // The window relies on the finalising event to take up the next Burn, so it is
            // never skipped because the short closing phase fell between two looks.
            if (ok && !finalizing)
                DeliverFinalizing();
            if (Owner.OnWriteDone)
                Owner.OnWriteDone(error);
        });
    }

    // Waits (briefly) for libburn's writer thread to end, collecting its last messages, so
    // that nothing it still uses is released under it and the next writing is not refused.
    void AwaitWriterEnd(QList<LibraryMessage>& Messages) {
        auto ended = [&] {
            return std::any_of(Messages.begin(), Messages.end(),
                               [](const LibraryMessage& m) { return m.Code == kBurnWriterEnded; });
        };
        for (int i = 0; i < 100 && !ended(); ++i) {
            {
                std::unique_lock lock(WakeMutex);
                Wake.wait_for(lock, std::chrono::milliseconds(100));
            }
            Messages += TakeMessages();
        }
    }

    // Follows one run of libburn's writer until the drive is idle again.
    void Watch(bool& Finalizing, bool& CancelSent) {
        burn::burn_progress progress{};
        for (;;) {
            const burn::burn_drive_status status = burn::burn_drive_get_status(Drive, &progress);
            if (status == burn::BURN_DRIVE_IDLE)
                break;
            if (status != burn::BURN_DRIVE_SPAWNING && progress.sector > 0)
                Written = qint64(progress.sector) * kDiscBlockBytes;
            if (!Finalizing && (status == burn::BURN_DRIVE_CLOSING_TRACK ||
                                status == burn::BURN_DRIVE_CLOSING_SESSION ||
                                status == burn::BURN_DRIVE_WRITING_LEADOUT)) {
                Finalizing = true;
                Post([this] { DeliverFinalizing(); });
            }
            std::unique_lock lock(WakeMutex);
            if (CancelRequested && !CancelSent) {
                CancelSent = true;
                lock.unlock();
                burn::burn_drive_cancel(Drive);
                continue;
            }
            // A timed wait: libburn offers no completion callback, and a release of the
            // engine wakes it at once.
            Wake.wait_for(lock, std::chrono::milliseconds(100),
                          [&] { return CancelRequested && !CancelSent; });
        }
    }

    template <typename F> void Post(F&& Fn) {
        QMetaObject::invokeMethod(&Context, std::forward<F>(Fn), Qt::QueuedConnection);
    }

    // Hands the end of the background work to the creating thread, which joins the worker
    // before Deliver runs.
    template <typename F> void PostEnd(F&& Deliver) {
        Post([this, Deliver = std::forward<F>(Deliver)] {
            if (Worker.joinable())
                Worker.join();
            Deliver();
        });
    }

    void DeliverFinalizing() {
        if (Owner.OnFinalizingTrack)
            Owner.OnFinalizingTrack();
    }

    bool StartVerifying() {
        if (Busy() || !GrabSelected())
            return false;
        const std::optional<QList<ChecksumEntry>> expected = WrittenList;
        const bool optical = burn::burn_drive_get_drive_role(Drive) == 1;
        int lba = WrittenLba;
        if (!expected) {
            // A disc written before: its last session.
            lba = 0;
            if (optical && burn::burn_disc_get_msc1(Drive, &lba) <= 0)
                lba = 0;
        }
        DiscardLibraryMessages();
        Verified = 0;
        {
            std::lock_guard lock(WakeMutex);
            CancelRequested = false;
        }
        if (Worker.joinable())
            Worker.join();
        Verifying = true;
        Worker = std::thread([this, expected, lba, optical] {
            // The drive learns what the writing left on the disc.
            if (optical && expected)
                burn::burn_drive_re_assess(Drive, 0);
            DiscCheckResult result = CheckSession(Drive, lba, expected, Verified, CancelRequested);
            if (result.Ok && expected)
                Verified = WrittenBytes;
            TakeLibraryMessages();
            Verifying = false;
            PostEnd([this, result] {
                if (Owner.OnVerifyDone)
                    Owner.OnVerifyDone(result);
            });
        });
        return true;
    }

    void StopWorker() {
        if (!Worker.joinable())
            return;
        {
            std::lock_guard lock(WakeMutex);
            CancelRequested = true;
        }
        Wake.notify_all();
        Worker.join();
    }
};

TDiscBurner::TDiscBurner() : D(std::make_unique<Impl>(*this)) {}

TDiscBurner::~TDiscBurner() = default;

bool TDiscBurner::InitializeASPI(bool ScanOpticalDrives) {
    if (D->Busy())
        return false;
    if (!D->BurnUp)
        D->BurnUp = AcquireBurn();
    D->Initialized = D->BurnUp;
    D->DriveList.clear();
    if (!D->BurnUp)
        return D->Fail(QStringLiteral("The drive-access layer (libburn) could not be started"));
    D->ReleaseDrive(false);
    if (ScanOpticalDrives) {
        burn::burn_drive_info* infos = nullptr;
        unsigned int count = 0;
        int rc = 0;
        // libburn answers 0 only while an earlier scan is unfinished; it does not block.
        while ((rc = burn::burn_drive_scan(&infos, &count)) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (rc > 0) {
            for (unsigned int i = 0; i < count; ++i) {
                char address[BURN_DRIVE_ADR_LEN] = {};
                if (burn::burn_drive_get_adr(&infos[i], address) <= 0)
                    continue;
                const QString adr = QString::fromLocal8Bit(address);
                const QString model = QStringLiteral("%1 %2")
                                          .arg(QString::fromLatin1(infos[i].vendor).trimmed(),
                                               QString::fromLatin1(infos[i].product).trimmed())
                                          .trimmed();
                D->DriveList.append(
                    {model.isEmpty() ? adr : QStringLiteral("%1 (%2)").arg(adr, model),
                     DriveAddress{adr, std::nullopt}});
            }
            // Scanned drives stay locked until freed; only the selected one is taken again.
            burn::burn_drive_info_free(infos);
        }
    }
    for (const DriveAddress& extra : ParseExtraDrives(qEnvironmentVariable(kExtraDrivesVariable)))
        D->DriveList.append({extra.Address, extra});
    return true;
}

bool TDiscBurner::ASPIInitialized() const {
    return D->Initialized;
}

QStringList TDiscBurner::Drives() const {
    QStringList names;
    for (const auto& entry : D->DriveList)
        names.append(entry.Name);
    return names;
}

bool TDiscBurner::SelectDrive(const QString& Name) {
    if (D->Busy())
        return false;
    if (!D->BurnUp)
        return D->Fail(QStringLiteral("The drive-access layer is not initialised"));
    std::optional<DriveAddress> chosen;
    for (const auto& entry : D->DriveList) {
        if (entry.Name == Name || entry.Address.Address == Name)
            chosen = entry.Address;
    }
    if (!chosen) {
        QString error;
        chosen = ParseDriveAddress(Name, &error);
        if (!chosen)
            return D->Fail(error);
    }
    D->DropPending();
    D->ReleaseDrive(false);
    D->WrittenList.reset();
    D->Selected = chosen;
    if (!D->GrabSelected()) {
        D->Selected.reset();
        return false;
    }
    return true;
}

QString TDiscBurner::SelectedDrive() const {
    return D->Selected ? D->Selected->Address : QString();
}

bool TDiscBurner::AddFile(const QString& TargetFolder, const QString& Path) {
    return D->AddFile(TargetFolder, Path);
}

int TDiscBurner::FolderCount() const {
    return D->Folders;
}

int TDiscBurner::FileCount() const {
    return D->Files;
}

bool TDiscBurner::LayoutImage() {
    return D->Layout();
}

qint64 TDiscBurner::ImageBlocks() const {
    return (D->ImageBytes + kDiscBlockBytes - 1) / kDiscBlockBytes;
}

qint64 TDiscBurner::FreeBlocks() {
    return D->FreeBlocks();
}

bool TDiscBurner::StartWriting() {
    return D->StartWriting();
}

bool TDiscBurner::IsWriting() const {
    return D->Writing.load();
}

bool TDiscBurner::StartVerifying() {
    return D->StartVerifying();
}

bool TDiscBurner::IsVerifying() const {
    return D->Verifying.load();
}

qint64 TDiscBurner::BytesVerified() const {
    return D->Verified.load();
}

qint64 TDiscBurner::BytesWritten() const {
    return D->Written.load();
}

bool TDiscBurner::Eject() {
    if (D->Busy())
        return false;
    if (!D->Drive)
        return true;
    // Ejecting lets go of the drive; the next operation takes hold of it again.
    D->ReleaseDrive(burn::burn_drive_get_drive_role(D->Drive) == 1);
    return true;
}

bool TDiscBurner::ClearImage(int MaxFiles, int MaxFolders) {
    if (D->Busy())
        return false;
    D->DropPending();
    D->ImageBytes = 0;
    D->MaxFiles = MaxFiles;
    D->MaxFolders = MaxFolders;
    return D->NewImage();
}

QString TDiscBurner::LastError() const {
    return D->Error;
}
