// What the window asks of the desktop: the local address, the file browser and the program's icon.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

#include <functional>

namespace yf {

// The name the desktop knows the program by: its desktop entry, metainfo and icon.
inline constexpr char kApplicationId[] = "io.github.yarrowfeed.Yarrowfeed";

// Source of the machine's local address, as dotted-decimal text.
using LocalAddressSource = std::function<QString()>;

// Opens a folder in the desktop's file browser without waiting for it; false when the
// browser could not be started.
using FolderLauncher = std::function<bool(const QString &folder)>;

// Hands the folder to the desktop as one local-file URL, blanks and all.
bool openInFileBrowser(const QString &folder);

// The program's icon, drawn at 16 and 32 pixels.
QIcon appIcon();

// The same drawing at any size; needs no application object (the install's PNGs come from it).
QImage appIconImage(int size);

} // namespace yf
