// The command table of corveladm: every group's commands, in the order the help
// lists them. A new command is one row here and one handler in its group's file.
#include "tools/corveladm/corveladm.h"

// Handlers, by group.
int RunHelp(AdmContext& ctx);
int RunPluginList(AdmContext& ctx);
int RunPluginAdd(AdmContext& ctx);
int RunPluginRemove(AdmContext& ctx);
int RunPluginConfigure(AdmContext& ctx);
int RunAccountAdd(AdmContext& ctx);
int RunAccountModify(AdmContext& ctx);
int RunAccountShow(AdmContext& ctx);
int RunAccountRefs(AdmContext& ctx);
int RunAccountRename(AdmContext& ctx);
int RunAccountDelete(AdmContext& ctx);
int RunAccountList(AdmContext& ctx);
int RunDomainList(AdmContext& ctx);
int RunDomainAdd(AdmContext& ctx);
int RunDomainRemove(AdmContext& ctx);
int RunImportUsers(AdmContext& ctx);
int RunImportMembers(AdmContext& ctx);
int RunReportUsers(AdmContext& ctx);
int RunReportMembers(AdmContext& ctx);
int RunQueueList(AdmContext& ctx);
int RunQueueFlush(AdmContext& ctx);
int RunAdminPassword(AdmContext& ctx);
int RunListHeld(AdmContext& ctx);
int RunListRelease(AdmContext& ctx);
int RunListReject(AdmContext& ctx);
int RunListForward(AdmContext& ctx);
int RunListDelete(AdmContext& ctx);
int RunListMembers(AdmContext& ctx);
int RunListAdd(AdmContext& ctx);
int RunListRemove(AdmContext& ctx);
int RunListSet(AdmContext& ctx);
int RunListApprove(AdmContext& ctx);
int RunListRefuse(AdmContext& ctx);
int RunListCopy(AdmContext& ctx);
int RunDkimShow(AdmContext& ctx);
int RunDkimRotate(AdmContext& ctx);

const AdmGroup kAdmGroups[] = {
    {"help", "this text, or one group's commands"},
    {"plugin", "custom mailbox plug-ins in their numbered slots"},
    {"account", "accounts of the primary domain or of --domain NAME"},
    {"domain", "secondary domains"},
    {"import", "bulk additions of users or list members from a file"},
    {"report", "the accounts of a domain or the members of a list, to a file"},
    {"queue", "the spool directories; retrying parked mail now"},
    {"admin-password", "the browser console's administrator password"},
    {"list", "mailing lists: members, pending members, held posts"},
    {"dkim", "the keys mail leaving this server is signed with, and their DNS records"},
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
    // The account, domain, import and report groups open an existing registry
    // themselves (needsRegistry false): they never create one.
    {"account", "add", "user|alias|forward|responder|list NAME [FIELD...] [--full-name T] "
     "[--mailbox P] [--cc A] [--target N] [--address A] [--title T] [--config C] [--owner O]",
     "add an account; a user's password is read from the terminal or standard input",
     RunAccountAdd, false},
    {"account", "modify", "NAME [--FIELD VALUE...] [--password]",
     "change fields of an account; --password asks for a new password", RunAccountModify, false},
    {"account", "show", "NAME", "show an account", RunAccountShow, false},
    {"account", "refs", "NAME", "list the accounts that refer to NAME", RunAccountRefs, false},
    {"account", "rename", "OLD NEW", "rename an account and every reference to it",
     RunAccountRename, false},
    {"account", "delete", "NAME [--repoint NEW | --cascade | --force]",
     "delete an account nothing refers to; or point references at NEW, or drop them, or "
     "leave them",
     RunAccountDelete, false},
    {"account", "list", "[TYPE...]", "list the accounts (of the types given)", RunAccountList,
     false},
    {"domain", "list", "", "list the domains: number, name, description", RunDomainList, false},
    {"domain", "add", "NAME [DESCRIPTION]", "create a secondary domain", RunDomainAdd, false},
    {"domain", "remove", "NAME|NUMBER",
     "delete a secondary domain with all its accounts and lists (asks; -y answers)",
     RunDomainRemove, false},
    {"import", "users", "FILE [--skip-existing | --no-skip-existing]",
     "add the users of FILE (- = standard input) to the primary domain", RunImportUsers, false},
    {"import", "members", "LIST FILE [--skip-existing | --no-skip-existing]",
     "add the members of FILE (- = standard input) to LIST, with welcome files",
     RunImportMembers, false},
    {"report", "users", "FILE", "write the accounts of the domain to FILE (- = standard output)",
     RunReportUsers, false},
    {"report", "members", "LIST FILE", "write the members of LIST to FILE (- = standard output)",
     RunReportMembers, false},
    // "flush" comes before the group's own command, which takes any other word.
    {"queue", "flush", "[DOMAIN]",
     "ask the running server (ETRN) to retry DOMAIN now, or every domain waiting in a parked "
     "file",
     RunQueueFlush},
    {"queue", "", "",
     "list the files of both spool directories: name, state, size, age, sender, recipients "
     "not yet done",
     RunQueueList},
    {"dkim", "show", "[DOMAIN]",
     "the DNS TXT records to publish for DOMAIN (its keys are made when it has none), or "
     "for every domain with keys", RunDkimShow},
    {"dkim", "rotate", "DOMAIN",
     "make a new selector with new keys for DOMAIN and put it in force (the old keys stay "
     "for mail in transit)", RunDkimRotate},
    {"admin-password", "", "",
     "set the browser console's password (read from the terminal or standard input; 8 to "
     "256 characters, stored hashed)", RunAdminPassword, false},
    {"list", "held", "LIST", "the posts held for approval: file, size, sender, subject",
     RunListHeld},
    {"list", "release", "LIST FILE", "release a held post to the members", RunListRelease},
    {"list", "reject", "LIST FILE [REASON...]", "return a held post to its sender",
     RunListReject},
    {"list", "forward", "LIST FILE ADDRESS [--header]", "forward a held post and drop it",
     RunListForward},
    {"list", "delete", "LIST FILE", "delete a held post without a trace (asks; -y)",
     RunListDelete},
    {"list", "members", "LIST [--pending]", "the members (or pending members) by slot",
     RunListMembers},
    {"list", "add", "LIST ADDRESS [FULL NAME...] [--options LETTERS]",
     "add a member (options r a c m d z; default the list's)", RunListAdd},
    {"list", "remove", "LIST ADDRESS [--pending]", "remove a member (or a pending member)",
     RunListRemove},
    {"list", "set", "LIST ADDRESS LETTERS", "set a member's options (r a c m d z, - for none)",
     RunListSet},
    {"list", "approve", "LIST ADDRESS [FULL NAME...]", "accept a pending member",
     RunListApprove},
    {"list", "refuse", "LIST ADDRESS", "refuse a pending member", RunListRefuse},
    {"list", "copy", "LIST FROMLIST", "add every member of FROMLIST to LIST", RunListCopy},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
