// The command table of corveladm: every group's commands, in the order the help
// lists them. A new command is one row here and one handler in its group's file.
#include "tools/corveladm/corveladm.h"

// Handlers, by group.
int RunHelp(AdmContext& ctx);

const AdmGroup kAdmGroups[] = {
    {"help", "this text, or one group's commands"},
    {nullptr, nullptr},
};

const AdmCommand kAdmCommands[] = {
    {"help", "", "[GROUP]", "list the groups, or the commands of GROUP", RunHelp, false},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
