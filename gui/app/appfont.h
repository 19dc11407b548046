// The font every window of the program is drawn in.
#pragma once

#include <QFont>

// The form's pixel sizes were drawn for an 8-point dialog font of narrow figures; the desktop's
// default font is wider and cut the texts of the form's fixed columns and buttons. The family
// comes with the font package that build.sh installs.
QFont lumaroFont();
// Makes it the application's font, for every widget created from now on.
void useLumaroFont();
