/* Acctlib: the account maintenance library of the Corvel mail server.
 *
 * Programs add, change, rename and remove accounts and secondary (virtual) domains
 * in the server's registry while the server runs; every change is seen by the
 * server's next lookup. Link with -lacctlib (build/lib/libacctlib.so).
 *
 * The registry is $CORVEL_REGISTRY, else $CORVEL_HOME/registry.db, else
 * /var/lib/corvel/registry.db, chosen at the process's first OpenUserDatabase. The
 * library never creates it: a missing or unusable file makes OpenUserDatabase
 * return NULL.
 *
 * Every call but OpenUserDatabase takes a handle. A pointer that is not a live
 * handle (a closed one included) fails the call, and GetLastUserError then answers
 * ACCT_ERR_BAD_HANDLE. Calls that fail return 0 (or -1, or NULL, as each says) and
 * leave the reason in the handle for GetLastUserError; each call that can fail
 * clears it first. One handle must not be used by two threads at once.
 *
 * Text outputs are zero-terminated and never longer than the size given: a text
 * that does not fit fails the call (ACCT_ERR_BAD_ARGUMENT) instead of being cut.
 *
 * Valid C11 and C++. */
#ifndef CORVEL_ACCTLIB_H
#define CORVEL_ACCTLIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An open connection to the account database: the selected domain and the last
 * error. Opaque; never dereference it. */
typedef struct AcctHandle AcctHandle;

/* Account types. They are bits: a type mask for GetUsers is their OR. */
#define ACCT_TYPE_USER 1u
#define ACCT_TYPE_ALIAS 2u
#define ACCT_TYPE_RESPONDER 4u
#define ACCT_TYPE_FORWARD 8u
#define ACCT_TYPE_LIST 16u
#define ACCT_TYPE_ALL 31u

/* Field sizes of AccountInfo, the terminating zero included. */
#define ACCT_NAME_SIZE 65
#define ACCT_FIELD_SIZE 65
#define ACCT_PASSWORD_SIZE 17
#define ACCT_MAILBOX_SIZE 261
#define ACCT_CARBON_COPY_SIZE 66
#define ACCT_CONFIG_SIZE 65
#define ACCT_OWNER_SIZE 65

/* One account, the exchange form of AddUser, ModifyUser and GetUsers: 476 bytes
 * without padding. Text fields are zero-terminated. */
typedef struct AccountInfo {
  uint16_t type;              /* one ACCT_TYPE_ value */
  char name[ACCT_NAME_SIZE];  /* the account name: 1 to 64 characters */
  /* user: full name; alias: target account; forward: forward address;
   * responder: responder name; list: list name */
  char field[ACCT_FIELD_SIZE];
  union {
    struct {
      char password[ACCT_PASSWORD_SIZE];  /* clear text */
      char mailbox[ACCT_MAILBOX_SIZE];    /* path of the mailbox file */
      char carbonCopy[ACCT_CARBON_COPY_SIZE];
    } user;
    struct {
      char configuration[ACCT_CONFIG_SIZE]; /* empty: the account's own name */
    } responder;
    struct {
      char configuration[ACCT_CONFIG_SIZE]; /* empty: the account's own name */
      char owner[ACCT_OWNER_SIZE];
    } list;
  } u;
} AccountInfo;

#ifdef __cplusplus
#define ACCTLIB_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define ACCTLIB_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif
ACCTLIB_STATIC_ASSERT(sizeof(AccountInfo) == 476, "AccountInfo is 476 bytes");
ACCTLIB_STATIC_ASSERT(offsetof(AccountInfo, name) == 2, "name at 2");
ACCTLIB_STATIC_ASSERT(offsetof(AccountInfo, field) == 67, "first field at 67");
ACCTLIB_STATIC_ASSERT(offsetof(AccountInfo, u) == 132, "per-type fields at 132");
ACCTLIB_STATIC_ASSERT(offsetof(AccountInfo, u.user.mailbox) == 149, "mailbox at 149");
ACCTLIB_STATIC_ASSERT(offsetof(AccountInfo, u.user.carbonCopy) == 410, "carbon copy at 410");
ACCTLIB_STATIC_ASSERT(offsetof(AccountInfo, u.list.owner) == 197, "list owner at 197");

/* Error codes (GetLastUserError; 0 = no error). */
#define ACCT_ERR_OPEN_KEY 0xC00003E8u      /* accounts key cannot be opened or created */
#define ACCT_ERR_MISSING_FIELD 0xC00003E9u /* a stored record lacks a field */
#define ACCT_ERR_WRONG_TYPE 0xC00003EAu    /* configuration of another account type */
#define ACCT_ERR_BAD_ARGUMENT 0xC00003ECu  /* bad argument */
#define ACCT_ERR_NO_MEMORY 0xC00003EDu     /* out of memory */
#define ACCT_ERR_WRITE 0xC00003EEu         /* the record cannot be written */
#define ACCT_ERR_NAME_LENGTH 0xC00003EFu   /* account name empty or over 64 characters */
#define ACCT_ERR_UNKNOWN_TYPE 0xC00003F0u  /* unknown (or, here, not allowed) type */
#define ACCT_ERR_EXISTS 0xC00003F1u        /* already exists / new name does not */
#define ACCT_ERR_NOT_FOUND 0xC00003F2u     /* the account or one it names is missing */
#define ACCT_ERR_RESERVED_DELETE 0xC00003F3u
#define ACCT_ERR_RESERVED_RENAME 0xC00003F4u
#define ACCT_ERR_DELETE 0xC00003F6u        /* cannot be deleted from the registry */
#define ACCT_ERR_IN_USE 0xC00003F7u        /* other accounts refer to it */
#define ACCT_ERR_ILLEGAL_CHAR 0xC00003F8u  /* illegal character in a name or field */
#define ACCT_ERR_MACHINE 0xC00003F9u       /* that machine's registry cannot be reached */
#define ACCT_ERR_BAD_HANDLE 0xC00003FBu    /* not a live handle */

/* DeleteUser modes. */
#define ACCT_DELETE_COUNT 0   /* 1 + the number of accounts referring to it */
#define ACCT_DELETE_UNUSED 1  /* only when nothing refers to it */
#define ACCT_DELETE_REPOINT 2 /* referring accounts are pointed at the new name */
#define ACCT_DELETE_CASCADE 3 /* users lose the carbon copy, others are deleted */
#define ACCT_DELETE_FORCE 4   /* references are left as they are */

/* A handle on this machine's registry with the primary domain selected; NULL when
 * the registry cannot be opened. */
AcctHandle* OpenUserDatabase(void);
/* Frees the handle. Non-zero on success. */
int CloseUserDatabase(AcctHandle* handle);
/* Only this machine can be selected: NULL, "", "localhost" or this host's name,
 * with or without a leading "\\". Any other name fails with ACCT_ERR_MACHINE. The
 * primary domain is selected either way. */
int SetCurrentMachine(AcctHandle* handle, const char* machine);
/* 0 selects the primary domain, another number a secondary domain's slot. */
int SelectDomainByID(AcctHandle* handle, int number);
/* The selected number; -1 for a bad handle. */
int GetCurrentDomainID(AcctHandle* handle);
/* The selected domain's name (the primary domain: this host's mail name). */
int GetCurrentDomain(AcctHandle* handle, char* buffer, uint32_t size);
/* "Primary" for the primary domain, else the description of the domain. */
int GetCurrentDomainDescription(AcctHandle* handle, char* buffer, uint32_t size);
/* Walks the domains' descriptions, the primary domain first. Set *cursor to 0
 * before the first call; each call gives the next description and moves the
 * cursor past it. 0 after the last (with no error). */
int EnumDomains(AcctHandle* handle, char* buffer, uint32_t size, uint32_t* cursor);
/* The number of the first domain whose description equals `description` without
 * regard to case ("Primary" = 0); -1 when none or for a bad handle; 0 for NULL. */
int FindDomain(AcctHandle* handle, const char* description);
/* Creates a secondary domain with its standard accounts and selects it. Returns
 * its number, -1 on failure. */
int CreateVirtualDomain(AcctHandle* handle, const char* domainName, const char* description);
/* Removes a secondary domain with all its accounts and lists. */
int DestroyVirtualDomain(AcctHandle* handle, int number);
/* Adds an account to the selected domain; it must not exist yet. */
int AddUser(AcctHandle* handle, const AccountInfo* info);
/* Replaces an existing account of the selected domain. */
int ModifyUser(AcctHandle* handle, const AccountInfo* info);
/* Deletes an account by one of the ACCT_DELETE_ modes; `newName` is for mode 2.
 * Mode 0 returns 1 + the number of referring accounts and deletes nothing. */
int DeleteUser(AcctHandle* handle, const char* name, const char* newName, int mode);
/* Renames an account, pointing every reference at the new name. */
int RenameUser(AcctHandle* handle, const char* oldName, const char* newName);
/* The next account after *cursor (start at 0) whose type is in `typeMask` and,
 * when `name` is given, whose name is exactly `name`. With mask 0, the next
 * account that refers to `name` (required). The record comes from malloc: free
 * it with free(). NULL at the end (error 0) or on failure. */
AccountInfo* GetUsers(AcctHandle* handle, uint32_t typeMask, const char* name, uint32_t* cursor);
/* The last error of the handle; ACCT_ERR_BAD_HANDLE for anything else. */
uint32_t GetLastUserError(AcctHandle* handle);

#ifdef __cplusplus
}
#endif

#endif /* CORVEL_ACCTLIB_H */
