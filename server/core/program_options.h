// "--help" and "--version", answered alike by every program the project builds:
// each prints to standard output and ends the program with status 0 before it
// touches a home directory, a registry or a log.
#pragma once

// Looks at the option words of `argv` (up to the first word that does not begin
// with '-'): "--help" prints `usage`, "--version" prints "<program> (Corvel)
// <version>". Returns 0 when it answered one of them (the caller returns it from
// main), -1 when neither was asked for.
int AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* usage);
