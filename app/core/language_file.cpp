#include "app/core/language_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString LanguageFilePath(const QString& ProgramFilePath) {
    const QFileInfo info(ProgramFilePath);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    // A leading dot starts a hidden name, not an extension.
    const QString base = dot > 0 ? name.first(dot) : name;
    const QString dir = ProgramFilePath.first(ProgramFilePath.size() - name.size());
    return dir + base + QStringLiteral(".LNG");
}

QString FindLanguageFile(const QString& ProgramFilePath, const QString& UserConfigDir,
                         const QString& SystemDataDir) {
    const QString beside = LanguageFilePath(ProgramFilePath);
    const QString name = QFileInfo(beside).fileName();
    for (const QString& candidate :
         {beside, QDir(UserConfigDir).filePath(name), QDir(SystemDataDir).filePath(name)}) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return beside;
}

QString FindInstalledLanguageFile(const QString& ProgramFilePath) {
    const QString programDir = QFileInfo(ProgramFilePath).absolutePath();
    return FindLanguageFile(ProgramFilePath,
                            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation),
                            QDir::cleanPath(programDir + QStringLiteral("/../share/orvexfm")));
}

QString LanguageFile::Text(const QString& Key, const QString& Default) const {
    if (!IsLoaded())
        return Default;
    return Values.Value(Key);
}

LanguageFile ReadLanguageFile(const QString& Path, const TextDecoder& Decode) {
    LanguageFile result;
    result.Path = Path;
    if (!QFileInfo(Path).isFile())
        return result;
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.State = LanguageFileState::Unreadable;
        result.Error = file.errorString();
        return result;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.State = LanguageFileState::Unreadable;
        result.Error = file.errorString();
        return result;
    }
    result.Values =
        ParseIniSection(DecodeTextFile(bytes, Decode), QString::fromLatin1(kLanguageSection));
    result.State = LanguageFileState::Loaded;
    return result;
}

namespace {

constexpr CaptionKey kMainWindow[] = {
    {"s1", "lbl2", "ReportType"},
    {"s2", "ComboBox2[0]", "Detail"},
    {"s3", "ComboBox2[1]", "Summary"},
    {"s28", "ComboBox2[2]", "Change the tax rate"},
    {"s29", "ComboBox2[3]", "Change the currency"},
    {"s291", "ComboBox2[4]", "RAM Clearing"},
    {"s4", "Label3", "Query Type"},
    {"s292", "Button2", "Open"},
    {"s5", "cb_qrytype[0]", "by Z count"},
    {"s6", "cb_qrytype[1]", "by Date(yymmdd)"},
    {"s61", "cb_qrytype[2]", "whole FM"},
    {"s7", "lb_from", "From"},
    {"s8", "lb_to", "To"},
    {"s9", "btnUpload", "Upload data"},
    {"s10", "btnClose", "Close"},
    {"s11", "lbl3", "Machine:"},
    {"s15", "frm_Main", "OrvexFM"},
    {"s16", "head[0]", "File list"},
    {"s17", "head[1]", "Content"},
    {"s18", "btn4", "Delete"},
    {"s19", "btn3", "Print"},
    {"s20", "btn2", "Burn"},
    {"s21", "btnCancel", "Cancel"},
    {"s27", "Label1", "IP Address"},
};

constexpr CaptionKey kArchiveWindow[] = {
    {"s20", "BurnFrm", "Burn"},           {"s23", "Drivelabel", "Drive: "},
    {"s20", "BurnBtn", "Burn"},           {"s18", "DeleteBtn.Hint", "Delete"},
    {"s24", "FileBtn.Hint", "Open file"}, {"s25", "FolderBtn.Hint", "Open folder"},
    {"s26", "FileList.Columns[0]", ""},
};

} // namespace

std::span<const CaptionKey> MainWindowCaptionKeys() {
    return kMainWindow;
}

std::span<const CaptionKey> ArchiveWindowCaptionKeys() {
    return kArchiveWindow;
}
