#pragma once
// Where the settings file lives. A file named on the command line wins.
// Otherwise it is vorlune.ini beside the executable where that folder can be
// written, as a portable copy or a build tree expects; an installed copy
// (its folder cannot be written, or it is the folder the program was built
// to be installed in, whoever runs it) keeps vorlune.ini in the user's
// configuration folder, ~/.config/vorlune-server by default.
//
// Nothing here waits or processes events.

#include <QString>

// The choice itself, from facts gathered elsewhere. givenFile is used as it
// is (made absolute by the caller); the folders carry no trailing "/".
QString chooseSettingsFile(const QString &givenFile, const QString &executableFolder,
                           bool executableFolderWritable, bool installedCopy, const QString &configFolder);

// The choice for this process: gathers the facts (the executable's folder,
// whether it can be written, the configuration folder) and calls the above.
// installFolder is where an install puts the executable (empty: unknown).
// Needs the application object, whose name names the configuration folder.
QString settingsFileForThisProcess(const QString &givenFile, const QString &installFolder);
