#pragma once

#include "archive/disc_readback.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Sizes on a disc are counted in blocks of this many bytes.
inline constexpr qint64 kDiscBlockBytes = 2048;

// Room the archiving window asks for whenever it empties the image.
inline constexpr int kImageMaxFiles = 600000;
inline constexpr int kImageMaxFolders = 20000;

// The disc-writing engine: builds an ISO 9660 image with Joliet names (libisofs) and writes it
// to an optical writer or to an image file (libburn "stdio:" pseudo-drive).
//
// Lives on the thread that creates it (the user-interface thread). Writing and reading back run
// on a thread of their own; OnFinalizingTrack, OnWriteDone and OnVerifyDone are always delivered
// on the creating thread through its event loop, never from inside a call. Releasing the engine
// while it works cancels the work and waits for that thread to end; events not yet delivered
// are then dropped.
//
// Every operation that can fail returns false (or 0) and leaves the reason, in the libraries' own
// words where they gave one, in LastError().
class TDiscBurner {
public:
    TDiscBurner();
    ~TDiscBurner();
    TDiscBurner(const TDiscBurner&) = delete;
    TDiscBurner& operator=(const TDiscBurner&) = delete;

    // Write settings, read when writing starts.
    bool UnderrunProtection = true;
    bool FinalizeTrack = true; // libburn always closes the track it writes; kept for callers
    bool FinalizeDisc = false; // false leaves a multi-session capable disc open for more sessions
    bool TestWrite = false;    // simulate: the drive goes through the motions without writing
    bool ReplaceFile = false;  // adding a name the folder already holds replaces the old entry
    bool PerformOPC = false;   // optimum power calibration before writing
    bool WritePostGap = true;  // pad a CD track with 300 KiB so readers' read-ahead finds data
    bool JolietFileSystem = true;
    int CacheSize = 4194304; // bytes of the buffer between image builder and drive; 0 = none
    int ReadSpeed = 0;       // kB/s, 0 = fastest
    int WriteSpeed = 0;      // kB/s, 0 = fastest

    // Starts the drive-access layer and lists the drives: the optical writers libburn finds
    // (ScanOpticalDrives) followed by the "stdio:" drives of ORVEXFM_EXTRA_DRIVES.
    bool InitializeASPI(bool ScanOpticalDrives = true);
    bool ASPIInitialized() const;
    // Display names of the drives found, in list order.
    QStringList Drives() const;

    // Selects (and takes hold of) a drive: a name from Drives(), or any drive address
    // ("/dev/sr0", "stdio:/path/image.iso" with an optional "#blocks" capacity).
    bool SelectDrive(const QString& Name);
    QString SelectedDrive() const;

    // Adds a file, or a folder with everything below it, to the image under TargetFolder
    // ("\" is the root; deeper folders are created as needed).
    bool AddFile(const QString& TargetFolder, const QString& Path);
    // Folders besides the root, and files, in the image.
    int FolderCount() const;
    int FileCount() const;

    // Lays out the image; ImageBlocks() is its size afterwards.
    bool LayoutImage();
    qint64 ImageBlocks() const;
    // Free blocks of the disc in the selected drive (capped by a "stdio:" drive's capacity).
    qint64 FreeBlocks();

    // Starts writing the laid-out image in the background. True: it ends with OnWriteDone.
    bool StartWriting();
    bool IsWriting() const;
    // Bytes written so far by the current or last writing; safe to read at any time.
    qint64 BytesWritten() const;

    // Every written image carries a SHA256SUMS file at its root (sha256sum's format, one line
    // per file) and MD5 sums of the session and of each file.
    //
    // Starts reading back, in the background, the session the last writing put on the disc in
    // the selected drive, comparing every file with the SHA-256 its source had when it was
    // written; with no writing since the drive was selected, the disc's last session is
    // checked against its own SHA256SUMS. Both check the recorded MD5 sums too. True: it ends
    // with OnVerifyDone.
    bool StartVerifying();
    bool IsVerifying() const;
    // Bytes read back so far; the written image's size once a read-back of it ends well.
    qint64 BytesVerified() const;

    bool Eject();

    // Empties the image and sets the room for the next one.
    bool ClearImage(int MaxFiles = kImageMaxFiles, int MaxFolders = kImageMaxFolders);

    QString LastError() const;

    // Events, delivered on the creating thread.
    // The track is being closed. A writing that succeeds always raises it before OnWriteDone.
    std::function<void()> OnFinalizingTrack;
    std::function<void(const QString& Error)> OnWriteDone; // Error empty on success
    std::function<void(bool Error)> OnEraseDone;           // no erase operation raises it yet
    std::function<void(const DiscCheckResult& Result)> OnVerifyDone;

private:
    struct Impl;
    std::unique_ptr<Impl> D;
};
