// SHA-256 of a local file, with OpenSSL's implementation: what the content
// comparison checks a file against before deciding to upload it.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tree/walk.h"

int abre_regular(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    const bool leido = fstat(fd, &st) == 0;
    if (leido && S_ISREG(st.st_mode))
        return fd;
    const int error = leido ? 0 : errno;
    close(fd);
    errno = error;
    return -1;
}

bool huella_local(const std::string &local, huella &h)
{
    // Only a regular file has a content to compare.
    const int fd = abre_regular(local.c_str());
    if (fd < 0)
        return false;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    char bloque[65536];
    while (ok) {
        ssize_t n = read(fd, bloque, sizeof bloque);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = EVP_DigestUpdate(ctx, bloque, static_cast<size_t>(n)) == 1;
    }
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, d, &len) == 1 && len == 32;
    EVP_MD_CTX_free(ctx);
    close(fd);
    if (ok)
        h.assign(reinterpret_cast<const char *>(d), len);
    return ok;
}
