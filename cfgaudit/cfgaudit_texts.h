// Every text cfgaudit writes: the log lines (with their own CR LF) and the
// message-box texts. One table, so the wording lives in one place.
#pragma once

namespace cfgaudit_text {

// Run and message boxes.
inline constexpr const char* kTitle = "cfgaudit";
inline constexpr const char* kNothingToDo = "Nothing to do";
inline constexpr const char* kTempNameError = "Error creating temporary file name. \"%s\"";
inline constexpr const char* kNoPrivileges = "You do not have Backup/Restore privleges.";
inline constexpr const char* kOpenForBackup = "Unable to open Corvel registry for backup.";
inline constexpr const char* kSaveFailed = "Unable to save registry.";
inline constexpr const char* kNotInstalled = "Corvel is not installed on this computer";
inline constexpr const char* kNoUsers = "Corvel has no users installed on this computer";
inline constexpr const char* kAllClean =
    "All checks complete. No errors found. Do you wish to view the log file.";
inline constexpr const char* kErrorsFound =
    "There were errors detected. Do you wish to view the log file.";
inline constexpr const char* kOpenForRestore = "Unable to open Corvel registry for restore.";
inline constexpr const char* kRestoreFailed = "Unable to restore registry.";
inline constexpr const char* kRestored = "Registry File restored";

// Log frame.
inline constexpr const char* kLogHeader = "Corvel Database Consistency Check. Version 1.0\r\n\r\n";
inline constexpr const char* kLogFooter = "Corvel Database Consistancy Check Completed.\r\n";
inline constexpr const char* kGeneralBegin = "Verifying General Settings\r\n";
inline constexpr const char* kGeneralEnd = "Verifying General Settings Complete\r\n\r\n";
inline constexpr const char* kUsersBegin = "Verifying Users\r\n";
inline constexpr const char* kUsersEnd = "Verifying Users Complete.\r\n\r\n";
inline constexpr const char* kDomainsBegin = "Verifying Virtual Domains\r\n";
inline constexpr const char* kDomainsEnd = "Verifying Virtual Domains Complete\r\n\r\n";
inline constexpr const char* kListsBegin = "Verifying Lists and Responders\r\n";
inline constexpr const char* kListsEnd = "Verifying Lists and Responders Completed.\r\n\r\n";

// General settings. The %s of the first three is DomainServer or SmartHost.
inline constexpr const char* kServerMissing = "Unable to open %s Registry Key\r\n";
inline constexpr const char* kServerUnreadable = "Unable to read %s Registry Key\r\n";
inline constexpr const char* kServerCorrected = "Correcting %s IP Address Entry\r\n";
inline constexpr const char* kIncomingMissing =
    "System Incoming Directory not found. Setting to Corvel install directory\r\n";
inline constexpr const char* kUserDirMissing =
    "User Directory not found. Setting to Corvel install directory\r\n";
inline constexpr const char* kIncomingUnreachable =
    "General: The Directory is Unreachable. Changing to Corvel home directory.\r\n";
inline constexpr const char* kOutgoingUnreachable =
    "General: The Outgoing Directory is Unreachable. Changing to Corvel home directory.\r\n";
inline constexpr const char* kUserDirUnreachable =
    "General: The User Directory is Unreachable. Changing to Corvel home directory.\r\n";
inline constexpr const char* kIncomingWriteFailed =
    "General Error: Unable to Write the System Incoming Variable.\r\n";
inline constexpr const char* kOutgoingWriteFailed =
    "General Error: Unable to Write the System Outgoing Variable.\r\n";
inline constexpr const char* kUserDirWriteFailed =
    "General Error: Unable to Write the User Directory Variable.\r\n";
// The %s of these three is InQueueTime, OutQueueTime or ConnectionTime.
inline constexpr const char* kTimeMissing = "Unable to open %s Registry Key\r\n";
inline constexpr const char* kTimeWrongType = "General: %s: Incorrect data type. Defaulting to 1 Minute.\r\n";
inline constexpr const char* kTimeBadValue = "General Error: %s: Bad Value. Defaulting to 1 minute.\r\n";
inline constexpr const char* kStrictBadValue =
    "General Error: StrictSmtpAdherence: Bad Value. Defaulting to Off.\r\n";
inline constexpr const char* kStrictMisspelled =
    "General: Found StrictSmtpAdherance: Misspelled option. Renaming to StrictSmtpAdherence.\r\n";

// Users. The first %s is the account name.
inline constexpr const char* kUsersEnumError = "Error %lu occurred while retrieving Registry Values for Users\r\n";
inline constexpr const char* kNotString = "User %s: is not a valid registry type. Deleting.\r\n";
inline constexpr const char* kUnrecognized = "User %s: The record has an unrecognized format. Deleting.\r\n";
inline constexpr const char* kRootReplaced =
    "User root: Not a user. Replacing. Setting password to '%s'.\r\n";
inline constexpr const char* kUserInDomain =
    "User %s: Type User is not allowed in a virtual domain. Deleting.\r\n";
inline constexpr const char* kFullNameCorrupt =
    "User %s: The Users Full Name is corrupt. Changing to userid.\r\n";
inline constexpr const char* kFullNameInvalid =
    "User %s: The Full Name contains invalid characters. Changing to User ID.\r\n";
inline constexpr const char* kMailboxCorrupt = "User %s: The Users mailbox directory is corrupt.\r\n";
inline constexpr const char* kPasswordCorrupt =
    "User %s: The Users Password is corrupt. Setting password to '%s'.\r\n";
inline constexpr const char* kPasswordUndecodable =
    "User %s: The Users Password failed to decrypt. Setting password to '%s'.\r\n";
inline constexpr const char* kCcCorrupt = "User %s: The CC field is corrupt.\r\n";
inline constexpr const char* kTooManyFields = "User %s: Too Many fields.\r\n";
inline constexpr const char* kMailboxFileEmpty =
    "User %s: MailBox Filename is empty or corrupt. Changing to User ID.\r\n";
inline constexpr const char* kMailboxDirUnreachable =
    "User %s: The MailBox Directory is Unreachable. Changing to Corvel home directory.\r\n";
inline constexpr const char* kUserDirUnreadable =
    "General Error: Unable to read the UserDirectory Variable. Defaulting to current.\r\n";
inline constexpr const char* kCcNotLocal =
    "User %s: Warning: The CC field does not contain a local user id. Blanking.\r\n";
inline constexpr const char* kCcRemote =
    "User %s: Warning: The CC field is not a local user. Unable to verify.\r\n";
inline constexpr const char* kAliasCorrupt = "User %s: The Alias to field is corrupt. Deleting.\r\n";
inline constexpr const char* kAliasNotLocal =
    "User %s: The Alias to field does not contain a local user id. Deleting.\r\n";
inline constexpr const char* kResponderNameCorrupt =
    "User %s: The responder name field is corrupt. Blanking.\r\n";
inline constexpr const char* kLinkCorrupt = "User %s: The Link to field is corrupt. Blanking.\r\n";
inline constexpr const char* kForwardCorrupt = "User %s: The Forward field is corrupt. Deleting.\r\n";
inline constexpr const char* kForwardNotLocal =
    "User %s: Error: This Forward is not a local user and does not contain domain information. "
    "Deleting.\r\n";
inline constexpr const char* kForwardRemote =
    "User %s: Warning: This Forward is not a local user. Unable to verify.\r\n";
inline constexpr const char* kListNameCorrupt = "User %s: The List Name field is corrupt. Blanking.\r\n";
inline constexpr const char* kOwnerCorrupt = "User %s: The Owner field is corrupt. Deleting.\r\n";
inline constexpr const char* kCustomAccount =
    "User %s: Warning: This is a custom mailbox account. Unable to verify.\r\n";
inline constexpr const char* kTypeUnknown = "User %s: Type unknown. Deleting.\r\n";
// Repairs that could not be made as decided.
inline constexpr const char* kRecordTooLong =
    "User %s: The repaired record would be too long to read. Left as it is.\r\n";
inline constexpr const char* kChangedMeanwhile =
    "%s: Changed by another program during the check. Left as it is.\r\n";
inline constexpr const char* kRepairFailed = "%s: Unable to write the repair (error %lu).\r\n";

// Virtual domains.
inline constexpr const char* kNoDomains = "No Virtual Domains present.\r\n";
inline constexpr const char* kNumActualUnreadable = "Unable to read NumActualDomains value.\r\n";
inline constexpr const char* kNumDomainsUnreadable = "Unable to read NumDomains value.\r\n";
inline constexpr const char* kNoSeparator = "No Field Separator. Field Corrupt.\r\n";
inline constexpr const char* kDomainKeyMissing = "Domain subkey not found. Deleting '%s'\r\n";
inline constexpr const char* kDomainHeader = "Virtual Domain %s:\r\n";
inline constexpr const char* kDeletingSubkey = "Deleting sub-key %s\r\n";
inline constexpr const char* kWrongDataType = "Inappropriate data type\r\n";
inline constexpr const char* kKeyEnumError = "Error %lu occurred while retrieving registry key information\r\n";

// Lists and responders. The first %s is the list's key name.
inline constexpr const char* kListsKeyError = "Error retrieving key information for Lists and Responders\r\n";
inline constexpr const char* kListsEnumError =
    "Error %lu occurred while retrieving Registry Information for ListsAndResponders\r\n";
inline constexpr const char* kOrphanSubkey =
    "List or Responder %s has subkey but no mail address. Deleting subtree.\r\n";
inline constexpr const char* kNoMembers = "%s: No Users.\r\n";
inline constexpr const char* kNumUsersUnreadable = "Unable to read NumUsers value.\r\n";
inline constexpr const char* kActualUsersUnreadable = "Unable to read NumActualUsers value.\r\n";
inline constexpr const char* kInvalidMember = "Deleting invalid list entry '%s'.\r\n";
inline constexpr const char* kCompactingMembers = "%s: Compacting User information\r\n";

}  // namespace cfgaudit_text
