/* The library from C: the record layout and every function, as a C program sees
 * them. Built as C11 with -pedantic -Werror.
 *
 *   acctlib_c_test            every function on $CORVEL_REGISTRY (an existing,
 *                             otherwise empty registry whose LocalNode is
 *                             mail.example.org)
 *   acctlib_c_test missing    $CORVEL_REGISTRY does not exist: no handle, no file
 *   acctlib_c_test race TAG   adds the users n0000..n0999 and the domains
 *                             TAG0.example..TAG9.example, then prints
 *                             "added A exists E domains D other O"; run twice at
 *                             once by the server test. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "acctlib/acctlib.h"

static int failures = 0;

#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

#define CHECK_ERROR(h, code) CHECK(GetLastUserError(h) == (code))

static void FillUser(AccountInfo* info, const char* name, const char* fullName,
                     const char* password, const char* mailbox) {
  memset(info, 0, sizeof *info);
  info->type = ACCT_TYPE_USER;
  strcpy(info->name, name);
  strcpy(info->field, fullName);
  strcpy(info->u.user.password, password);
  strcpy(info->u.user.mailbox, mailbox);
}

static void FillAlias(AccountInfo* info, const char* name, const char* target) {
  memset(info, 0, sizeof *info);
  info->type = ACCT_TYPE_ALIAS;
  strcpy(info->name, name);
  strcpy(info->field, target);
}

static void CheckLayout(void) {
  CHECK(sizeof(AccountInfo) == 476);
  CHECK(offsetof(AccountInfo, type) == 0);
  CHECK(offsetof(AccountInfo, name) == 2);
  CHECK(offsetof(AccountInfo, field) == 67);
  CHECK(offsetof(AccountInfo, u) == 132);
  CHECK(offsetof(AccountInfo, u.user.password) == 132);
  CHECK(offsetof(AccountInfo, u.user.mailbox) == 149);
  CHECK(offsetof(AccountInfo, u.user.carbonCopy) == 410);
  CHECK(offsetof(AccountInfo, u.responder.configuration) == 132);
  CHECK(offsetof(AccountInfo, u.list.configuration) == 132);
  CHECK(offsetof(AccountInfo, u.list.owner) == 197);
}

static void CheckDomains(AcctHandle* h) {
  char buf[100];
  uint32_t cursor = 0;
  int n = 0;
  CHECK(GetCurrentDomainID(h) == 0);
  CHECK(GetCurrentDomain(h, buf, sizeof buf) && strcmp(buf, "mail.example.org") == 0);
  /* Exactly enough room works; one byte less fails and writes nothing. */
  CHECK(GetCurrentDomain(h, buf, 17));
  memset(buf, 'x', sizeof buf);
  CHECK(!GetCurrentDomain(h, buf, 16) && buf[0] == 'x');
  CHECK_ERROR(h, ACCT_ERR_BAD_ARGUMENT);
  CHECK(GetCurrentDomainDescription(h, buf, sizeof buf) && strcmp(buf, "Primary") == 0);
  CHECK_ERROR(h, 0);

  CHECK(CreateVirtualDomain(h, "virt.example", "Virtual") == 1);
  CHECK(GetCurrentDomainID(h) == 1);
  CHECK(GetCurrentDomain(h, buf, sizeof buf) && strcmp(buf, "virt.example") == 0);
  CHECK(GetCurrentDomainDescription(h, buf, sizeof buf) && strcmp(buf, "Virtual") == 0);
  CHECK(CreateVirtualDomain(h, "virt.example", "Again") == -1);
  CHECK_ERROR(h, ACCT_ERR_EXISTS);
  CHECK(CreateVirtualDomain(h, "bad;name", "Bad") == -1);
  CHECK_ERROR(h, ACCT_ERR_ILLEGAL_CHAR);
  CHECK(CreateVirtualDomain(h, "other.example", "Other") == 2);

  while (EnumDomains(h, buf, sizeof buf, &cursor)) {
    CHECK(strcmp(buf, n == 0 ? "Primary" : n == 1 ? "Virtual" : "Other") == 0);
    ++n;
  }
  CHECK(n == 3);
  CHECK_ERROR(h, 0);
  CHECK(FindDomain(h, "primary") == 0);
  CHECK(FindDomain(h, "OTHER") == 2);
  CHECK(FindDomain(h, NULL) == 0);
  CHECK(FindDomain(h, "none") == -1);

  CHECK(SelectDomainByID(h, 1));
  CHECK(!SelectDomainByID(h, 7));
  CHECK_ERROR(h, ACCT_ERR_OPEN_KEY);
  CHECK(GetCurrentDomainID(h) == 1);
  CHECK(DestroyVirtualDomain(h, 1));
  CHECK(GetCurrentDomainID(h) == 1);
  CHECK(!GetCurrentDomain(h, buf, sizeof buf));
  CHECK_ERROR(h, ACCT_ERR_OPEN_KEY);
  CHECK(CreateVirtualDomain(h, "third.example", "Third") == 1); /* the freed slot */
  CHECK(SelectDomainByID(h, 0));
}

static void CheckAccounts(AcctHandle* h) {
  AccountInfo info;
  AccountInfo* got;
  uint32_t cursor = 0;
  int users = 0;

  FillUser(&info, "JSmith", "John Smith", "secret1", "/var/mail/jsmith.mbx");
  CHECK(AddUser(h, &info));
  CHECK(!AddUser(h, &info));
  CHECK_ERROR(h, ACCT_ERR_EXISTS);
  FillAlias(&info, "js", "jsmith");
  CHECK(AddUser(h, &info));

  got = GetUsers(h, ACCT_TYPE_USER, "JSmith", &cursor);
  CHECK(got != NULL);
  if (got) {
    CHECK(got->type == ACCT_TYPE_USER);
    CHECK(strcmp(got->field, "John Smith") == 0);
    CHECK(strcmp(got->u.user.password, "secret1") == 0);
    CHECK(strcmp(got->u.user.mailbox, "/var/mail/jsmith.mbx") == 0);
    free(got);
  }
  CHECK(GetUsers(h, ACCT_TYPE_USER, "JSmith", &cursor) == NULL);
  CHECK_ERROR(h, 0);

  FillUser(&info, "JSmith", "Johnny Smith", "secret2", "/var/mail/jsmith.mbx");
  CHECK(ModifyUser(h, &info));
  CHECK(RenameUser(h, "JSmith", "john"));
  cursor = 0;
  got = GetUsers(h, ACCT_TYPE_ALIAS, "js", &cursor);
  CHECK(got != NULL && strcmp(got->field, "john") == 0);
  free(got);
  cursor = 0;
  while ((got = GetUsers(h, ACCT_TYPE_ALL, NULL, &cursor)) != NULL) {
    if (got->type == ACCT_TYPE_USER) {
      CHECK(strcmp(got->name, "john") == 0);
      CHECK(strcmp(got->u.user.password, "secret2") == 0);
      ++users;
    }
    free(got);
  }
  CHECK(users == 1);
  cursor = 0;
  got = GetUsers(h, 0, "john", &cursor);
  CHECK(got != NULL && strcmp(got->name, "js") == 0);
  free(got);

  CHECK(DeleteUser(h, "john", NULL, ACCT_DELETE_COUNT) == 2);
  CHECK(!DeleteUser(h, "john", NULL, ACCT_DELETE_UNUSED));
  CHECK_ERROR(h, ACCT_ERR_IN_USE);
  CHECK(!DeleteUser(h, "postmaster", NULL, ACCT_DELETE_FORCE));
  CHECK_ERROR(h, ACCT_ERR_RESERVED_DELETE);
  CHECK(DeleteUser(h, "john", NULL, ACCT_DELETE_CASCADE));
  CHECK(DeleteUser(h, "js", NULL, ACCT_DELETE_COUNT) == 0);
  CHECK_ERROR(h, ACCT_ERR_NOT_FOUND);
}

static int RunAll(void) {
  AcctHandle* h;
  AcctHandle* other;
  CheckLayout();
  CHECK(GetLastUserError(NULL) == ACCT_ERR_BAD_HANDLE);
  h = OpenUserDatabase();
  CHECK(h != NULL);
  if (!h) return 1;
  CHECK(SetCurrentMachine(h, ""));
  CHECK(SetCurrentMachine(h, "\\\\localhost"));
  CHECK(!SetCurrentMachine(h, "\\\\faraway.example"));
  CHECK_ERROR(h, ACCT_ERR_MACHINE);
  CHECK(GetCurrentDomainID(h) == 0);
  CheckDomains(h);
  CheckAccounts(h);

  other = OpenUserDatabase();
  CHECK(other != NULL && other != h);
  CHECK(CloseUserDatabase(h));
  CHECK(GetLastUserError(h) == ACCT_ERR_BAD_HANDLE);
  CHECK(GetCurrentDomainID(h) == -1);
  CHECK(!CloseUserDatabase(h));
  CHECK(CloseUserDatabase(other));
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}

/* The race of the server test: every add either succeeds or finds the name taken. */
static int RunRace(const char* tag) {
  AcctHandle* h = OpenUserDatabase();
  AccountInfo info;
  int added = 0, exists = 0, domains = 0, other = 0, i;
  char name[32], mailbox[64], domain[64];
  if (!h) return 1;
  for (i = 0; i < 1000; ++i) {
    sprintf(name, "n%04d", i);
    sprintf(mailbox, "/var/mail/%s.mbx", name);
    FillUser(&info, name, "Race", "secret1", mailbox);
    if (AddUser(h, &info))
      ++added;
    else if (GetLastUserError(h) == ACCT_ERR_EXISTS)
      ++exists;
    else
      ++other;
    if (i % 100 == 50) {
      sprintf(domain, "%s%d.example", tag, i / 100);
      if (CreateVirtualDomain(h, domain, tag) > 0) ++domains;
      else ++other;
      SelectDomainByID(h, 0);
    }
  }
  CloseUserDatabase(h);
  printf("added %d exists %d domains %d other %d\n", added, exists, domains, other);
  return other ? 1 : 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    printf("usage: acctlib_c_test [missing | race TAG]\n"
           "checks the account library from C on $CORVEL_REGISTRY (see the source)\n");
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("acctlib_c_test (Corvel) 1.0\n");
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "missing") == 0) {
    const char* path = getenv("CORVEL_REGISTRY");
    CHECK(path != NULL);
    CHECK(OpenUserDatabase() == NULL);
    CHECK(path == NULL || access(path, F_OK) != 0);
    return failures ? 1 : 0;
  }
  if (argc == 3 && strcmp(argv[1], "race") == 0) return RunRace(argv[2]);
  return RunAll();
}
