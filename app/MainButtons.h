// The main window's five picture buttons: the logo, the three scan buttons and the repository button,
// with their pictures, fonts, texts and looks.
#pragma once

#include "controls/DoubleLineTextButton.h"

struct MainButtons {
    CDoubleLineTextButton& logo;
    CDoubleLineTextButton& quickScan;
    CDoubleLineTextButton& fullScan;
    CDoubleLineTextButton& customScan;
    CDoubleLineTextButton& fileRepository;
};

// Sets up buttons already bound to their controls, with fonts and pictures for the window's dots per
// inch; the fonts are made once per size for the process.
void SetUpMainButtons(const MainButtons& buttons, int dpi);

// The title font (Times New Roman, 28 pixels at 96 dots per inch, bold), made once per size.
HFONT MainTitleFont(int dpi);
