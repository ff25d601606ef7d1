#include "app/SettingsLocation.h"

#include "app/SettingsFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

QString chooseSettingsFile(const QString &givenFile, const QString &executableFolder,
                           bool executableFolderWritable, bool installedCopy, const QString &configFolder)
{
    if (!givenFile.isEmpty())
        return givenFile;
    const QString name = QLatin1String(kSettingsFileName);
    // Without a known configuration folder (no home), the executable's folder
    // is the one place left; never the file system's root.
    if ((executableFolderWritable && !installedCopy) || configFolder.isEmpty())
        return executableFolder + QLatin1Char('/') + name;
    return configFolder + QLatin1Char('/') + name;
}

QString settingsFileForThisProcess(const QString &givenFile, const QString &installFolder)
{
    const QString executableFolder = QCoreApplication::applicationDirPath();
    // Canonical paths: /bin and /usr/bin are one folder on a merged system.
    const QString canonicalInstall
            = installFolder.isEmpty() ? QString() : QFileInfo(installFolder).canonicalFilePath();
    const bool installed = !canonicalInstall.isEmpty()
            && QFileInfo(executableFolder).canonicalFilePath() == canonicalInstall;
    return chooseSettingsFile(givenFile.isEmpty() ? QString() : QFileInfo(givenFile).absoluteFilePath(),
                              executableFolder, QFileInfo(executableFolder).isWritable(), installed,
                              QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}
