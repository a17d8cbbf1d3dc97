#pragma once

#include "app/core/ini_section.h"
#include "app/core/system_text.h"

#include <QString>

#include <span>

// All texts of the language file live in this section (the spelling is the file format's).
inline constexpr char kLanguageSection[] = "seting";

// The caption the main window's "Save" button takes whenever a language file is present,
// whatever the file holds.
inline constexpr char kSaveCaptionWithLanguageFile[] = "Zapisz";

// The language file sits next to the program and shares its base name: the program path with
// its extension (if any) replaced by ".LNG".
QString LanguageFilePath(const QString& ProgramFilePath);

// The language file in use: the first that exists of the file beside the program
// (LanguageFilePath), the file of that name in UserConfigDir, and the one in SystemDataDir.
// When none exists, the one beside the program (so its absence reads as "no language file").
QString FindLanguageFile(const QString& ProgramFilePath, const QString& UserConfigDir,
                         const QString& SystemDataDir);

// FindLanguageFile with the user's configuration folder (QStandardPaths::AppConfigLocation,
// ~/.config/OrvexFM/) and the installation's data folder (share/orvexfm/ beside the program's
// bin/, i.e. /usr/share/orvexfm/ for /usr/bin/orvexfm). The application name must be set before.
QString FindInstalledLanguageFile(const QString& ProgramFilePath);

enum class LanguageFileState {
    Missing,    // no such file: every default stays
    Unreadable, // the file exists but could not be read: treated like Missing, Error says why
    Loaded,
};

struct LanguageFile {
    LanguageFileState State = LanguageFileState::Missing;
    QString Path;
    QString Error;
    IniSection Values; // the "seting" section

    bool IsLoaded() const { return State == LanguageFileState::Loaded; }

    // The text for Key. With a file, a key the file lacks reads as an empty text (and so
    // empties the caption or message it is applied to); without one, Default stays.
    QString Text(const QString& Key, const QString& Default) const;
};

// Reads the language file at Path. Single-byte text is decoded with Decode (Windows-1250 by
// default); a UTF-8 or UTF-16LE byte-order mark overrides it.
LanguageFile ReadLanguageFile(const QString& Path, const TextDecoder& Decode = DecodeSystemText);

// A caption the language file can replace: its key, the control it belongs to, and the
// design-time default.
struct CaptionKey {
    const char* Key;
    const char* Target;
    const char* Default;
};

// The main window's captions in the order the window applies them. The "Save" button
// (kSaveCaptionWithLanguageFile) is set between "s292" and "s5".
std::span<const CaptionKey> MainWindowCaptionKeys();

// The archiving window's captions in the order that window applies them; "s20" appears twice
// (window caption, then the burn button).
std::span<const CaptionKey> ArchiveWindowCaptionKeys();
