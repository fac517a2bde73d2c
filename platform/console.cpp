#include "platform/console.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

void ShowMessageBox(const std::string& title, const std::string& text) {
  std::string line = title.empty() ? text : title + ": " + text;
  if (line.empty() || line.back() != '\n') line += '\n';
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

bool AskYesNo(const std::string& title, const std::string& text, bool unattended) {
  if (unattended || !::isatty(0)) return true;
  std::string question = title.empty() ? text : title + ": " + text;
  while (!question.empty() && question.back() == '\n') question.pop_back();
  for (;;) {
    std::fprintf(stderr, "%s [Y/n] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    if (answer.empty() || answer[0] == 'y' || answer[0] == 'Y') return true;
    if (answer[0] == 'n' || answer[0] == 'N') return false;
  }
}
