#pragma once

// The parts of the window's appearance that its form file cannot hold: fonts that stand in for
// the ones the form names, the weight and fractional size of two of its fonts, the slanted
// stroke between the counters, the window's frame, the program's version in its texts, and
// frames whose caption lies on the frame's top line. The rest of its look is in frmmain.ui:
// sizes, fonts, colours, the icon and the lamp pictures, which the form lists back to front so
// that the red lamp starts in front.

class frmMain;
class QWidget;

namespace look {

// Makes the fonts the form names ("宋体", "Perpetua Titling MT") resolve to installed ones.
// Runs once per process, before the form is built.
void installFontSubstitutes();

// Gives a freshly built window the rest of its look; sets its Line1.
void dress(frmMain& window);

// Places the window in the middle of the primary screen's free area, where it opens.
void centreOnScreen(QWidget& window);

} // namespace look
