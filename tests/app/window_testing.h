// What several window tests look at: the enabled state of the twelve objects a run greys out.
#pragma once

#include "app/directory_picker.h"
#include "app/drive_picker.h"
#include "app/main_window.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMenu>

namespace window_testing {

inline QList<bool> twelveEnabled(const yf::Form1 &w)
{
    const QWidget *objects[] = {w.Drive1, w.Drive2, w.Dir1,      w.Dir2,        w.Text1,  w.Frame1,
                                w.Frame2, w.Frame3, w.menu_file, w.menu_action, w.Label1, w.Label2};
    QList<bool> states;
    for (const QWidget *object : objects)
        states << object->isEnabled();
    return states;
}

} // namespace window_testing
