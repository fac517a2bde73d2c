// The command table of corveladm: every group's commands, in the order the help
// lists them. A new command is one row here and one handler in its group's file.
#include "tools/corveladm/corveladm.h"

// Handlers, by group.
int RunHelp(AdmContext& ctx);
int RunPluginList(AdmContext& ctx);
int RunPluginAdd(AdmContext& ctx);
int RunPluginRemove(AdmContext& ctx);
int RunPluginConfigure(AdmContext& ctx);

const AdmGroup kAdmGroups[] = {
    {"help", "this text, or one group's commands"},
    {"plugin", "custom mailbox plug-ins in their numbered slots"},
    {nullptr, nullptr},
};

const AdmCommand kAdmCommands[] = {
    {"help", "", "[GROUP]", "list the groups, or the commands of GROUP", RunHelp, false},
    {"plugin", "list", "[--clear-failed]",
     "each filled slot, its library and display name (\"Unable to load DLL.\" when it does not "
     "load); --clear-failed frees such slots", RunPluginList},
    {"plugin", "add", "FILE", "check the library with fMailExt_Info and put it in a slot",
     RunPluginAdd},
    {"plugin", "remove", "SLOT", "free a filled slot", RunPluginRemove},
    {"plugin", "configure", "SLOT", "call the plug-in's fMailExt_Configure", RunPluginConfigure},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
