// Message boxes on screen, for the window mode.
#pragma once

// From now on ShowErrorBox opens a modal message box and returns when it is dismissed.
void UseWindowErrorBox();

// Dismisses the message box on screen as its OK button does; true when one was up.
bool DismissErrorBox();
