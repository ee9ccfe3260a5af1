#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

namespace freshgate::test {

// A temporary application folder: where the product and Freshgate live in a test.
class AppFolder {
public:
    AppFolder();

    [[nodiscard]] bool isValid() const { return m_dir.isValid(); }
    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] QString filePath(const QString &relative) const;
    [[nodiscard]] QString workFolder() const { return filePath(QStringLiteral("Freshgate")); }

    // Writes a file, creating its folders.
    bool write(const QString &relative, const QByteArray &content) const;
    [[nodiscard]] QByteArray read(const QString &relative) const;
    [[nodiscard]] bool exists(const QString &relative) const;

    // A shell script that, when started, writes its name and working folder to
    // "marker" in the folder it lives in. Executable unless told otherwise.
    bool writeMarkerProgram(const QString &relative, bool executable = true) const;
    [[nodiscard]] QString markerFor(const QString &relative) const;

    // Every file below the folder (or below one of its subfolders) with its
    // content, so a test can prove a folder is byte for byte as it was.
    [[nodiscard]] QMap<QString, QByteArray> snapshot(const QString &relative = {}) const;

private:
    QTemporaryDir m_dir;
};

// A private settings file in a temporary folder, shaped like the product's own. Tests open a
// SettingsStore on iniPath(), and point a program they start at it through configHome()
// (XDG_CONFIG_HOME): no test touches the user's real store.
class SettingsFile {
public:
    SettingsFile() = default;

    [[nodiscard]] QString configHome() const { return m_dir.path(); }
    [[nodiscard]] QString iniPath() const;
    [[nodiscard]] QString iniText() const;
    bool writeIni(const QByteArray &text) const;
    void clear() const;

private:
    QTemporaryDir m_dir;
};

} // namespace freshgate::test
