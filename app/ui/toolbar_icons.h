// The toolbar images, drawn by the program: 32 × 32 buttons.
#pragma once

#include <QIcon>
#include <QString>

namespace zq {

// An instrument button: its short name on a gold face.
QIcon InstrumentIcon(int instrumentId);

// A command button of the command toolbar.
QIcon CommandIcon(int command);

// The blank image the message button blinks with.
QIcon BlankIcon();

}  // namespace zq
