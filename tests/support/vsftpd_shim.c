/* Preloaded (LD_PRELOAD) into a private vsftpd so that it needs nothing
 * installed in /etc:
 *
 * - vsftpd authenticates only through PAM, whose service files live in
 *   /etc/pam.d. pam_start here opens the service from the folder named by
 *   VANTOR_PAM_DIR instead (pam_start_confdir, Linux-PAM 1.4 and later).
 * - Every login becomes the guest account (guest_enable), and vsftpd enters
 *   that account's home directory before anything else; nobody's is
 *   /nonexistent. getpwnam here gives the account named by VANTOR_GUEST the
 *   home directory VANTOR_GUEST_HOME (the server's root folder).
 *
 * The variables are read once at load time: the session processes are
 * forked from the listener and keep them. No PAM header is needed; the
 * symbols come from the libpam that vsftpd itself links. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>

struct pam_conv;
typedef struct pam_handle pam_handle_t;
extern int pam_start_confdir(const char *service, const char *user, const struct pam_conv *conv,
                             const char *confdir, pam_handle_t **pamh);

static char pam_dir[4096], guest[256], guest_home[4096];

static void keep(char *to, size_t size, const char *name)
{
    const char *v = getenv(name);
    if (v && strlen(v) < size)
        strcpy(to, v);
}

__attribute__((constructor)) static void read_settings(void)
{
    keep(pam_dir, sizeof pam_dir, "VANTOR_PAM_DIR");
    keep(guest, sizeof guest, "VANTOR_GUEST");
    keep(guest_home, sizeof guest_home, "VANTOR_GUEST_HOME");
}

int pam_start(const char *service, const char *user, const struct pam_conv *conv, pam_handle_t **pamh)
{
    return pam_start_confdir(service, user, conv, pam_dir[0] ? pam_dir : NULL, pamh);
}

struct passwd *getpwnam(const char *name)
{
    static struct passwd *(*real)(const char *);
    static struct passwd copy;
    if (!real)
        real = (struct passwd * (*)(const char *)) dlsym(RTLD_NEXT, "getpwnam");
    struct passwd *p = real ? real(name) : NULL;
    if (!p || !guest[0] || !guest_home[0] || strcmp(name, guest) != 0)
        return p;
    copy = *p;
    copy.pw_dir = guest_home;
    return &copy;
}
