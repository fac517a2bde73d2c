/* Confirmation functions for the uninstaller's tests: yes, no, and one that
 * crashes. */
#include <signal.h>
#include <stdio.h>

int ConfirmYes(const char* product, int unattended) {
  printf("asked about %s (unattended %d)\n", product, unattended);
  return 1;
}

int ConfirmNo(const char* product, int unattended) {
  (void)product;
  (void)unattended;
  return 0;
}

int ConfirmCrash(const char* product, int unattended) {
  (void)product;
  (void)unattended;
  raise(SIGSEGV);
  return 1;
}
