#pragma once

// The parts of the window's appearance that a form file cannot hold: fonts that stand in for
// the ones the layout names, the slanted stroke between the counters, the window's fixed frame,
// and the query buttons' fractional point size.

class frmMain;

namespace look {

// Makes the fonts the form names ("宋体", "Perpetua Titling MT") resolve to installed ones.
// Runs once per process, before the form is built.
void installFontSubstitutes();

// Gives a freshly built window the rest of its look; sets its Line1.
void dress(frmMain& window);

} // namespace look
