// Where the settings file lives: beside the program when that works, else the user's config folder.
#pragma once

#include <QString>

namespace yf {

// "config.ini" in `programDir` when that file exists and may be written, or when
// `programDir` itself may be written (a build tree, an unpacked copy) and is not where
// installed programs live (/usr/bin, the install's own bin folder: root may write those);
// otherwise
// "config.ini" in `configDir`, which need not exist yet (the first write creates it).
QString settingsFilePath(const QString &programDir, const QString &configDir);

// The user's configuration home by the XDG rules: `xdgConfigHome` (the variable's value)
// when it is an absolute path, else "<home>/.config"; a relative or empty value is ignored.
QString userConfigHome(const QString &xdgConfigHome, const QString &home);

// The program's folder in the user's configuration home (normally ~/.config/yarrowfeed), for
// this process's environment. Needs the application object and its name set.
QString userSettingsFolder();

// The same for this process: the executable's directory and the user's configuration
// directory for the program (normally ~/.config/yarrowfeed). Needs the application object
// and its name ("yarrowfeed") set.
QString settingsFilePath();

} // namespace yf
