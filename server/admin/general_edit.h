// Editing the general values from outside the server's own start-up: an edit is
// checked against the one table of general values (type, range, length) before
// anything is written, so a bad value is refused with a clear reason and the
// stored one stays as it was.
#pragma once

#include <string>

#include "server/core/config.h"

// The value as the server reads it now, in text form (numbers and switches in
// decimal), and whether the registry holds it at all.
std::string GeneralValueText(const GeneralValue& g, bool& stored);
// The default in the same text form.
std::string GeneralDefaultText(const GeneralValue& g);

// Checks `text` for `g`: a number is a decimal integer that a DWORD holds (a range
// value within its range), a switch "0" or "1", a string at most its length limit
// and without control bytes. False with `why`, a sentence for the administrator.
bool CheckGeneralValueEdit(const GeneralValue& g, const std::string& text, std::string& why);
// Checks and writes `text` (empty `text` with `reset` deletes the value, so the
// default holds again). False with `why`; nothing is written then.
bool WriteGeneralValue(const GeneralValue& g, const std::string& text, bool reset,
                       std::string& why);
