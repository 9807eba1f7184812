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

// Sets up buttons already bound to their controls; the fonts are made once for the process.
void SetUpMainButtons(const MainButtons& buttons);

// The title font (Times New Roman, 28, bold), made once for the process.
HFONT MainTitleFont();
