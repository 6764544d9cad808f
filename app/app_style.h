// The application style sheet (set by main after the window is shown).
#pragma once

extern const char kAppStyleSheet[];
