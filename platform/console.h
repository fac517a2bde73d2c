// Message boxes and questions without a desktop: a message box is its title and
// text on standard error; a question is asked on the terminal, and answered with
// its first (affirmative) answer when nobody can be asked (standard input is not
// a terminal) or the caller runs unattended.
#pragma once

#include <string>

// Writes "<title>: <text>" (the text's own final line end kept, one added when
// missing) to standard error.
void ShowMessageBox(const std::string& title, const std::string& text);
// Asks `text` with " [Y/n] " on the terminal; true for Yes. Yes without asking when
// `unattended` or standard input is not a terminal.
bool AskYesNo(const std::string& title, const std::string& text, bool unattended);
