// The questions the quarantine's file actions ask the user, in windows: whether a file goes back to
// an unusual place (a message box), and into which folder entries are saved (the shell's folder
// browser). The program sets them once at its start; the actions themselves show no window.
#pragma once

void AskFileActionQuestionsInWindows();
