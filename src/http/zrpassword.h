#ifndef ZRPASSWORD_H
#define ZRPASSWORD_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QString>

// Passwords kept as hashes an attacker who reads them must still guess against, one slow
// guess at a time.
//
// hash() derives 32 bytes with scrypt (OpenSSL's EVP_KDF) from the password's UTF-8 and 16
// random bytes of salt, and writes all a later verify() needs in one line of ASCII:
//
//   $scrypt$ln=15,r=8,p=1$SALT$HASH          (SALT and HASH in unpadded base64)
//
// The cost: N = 2^ln blocks of 128 * r bytes, so 32 MiB of memory at ln=15, r=8, and 85 ms
// of CPU on a 2-core x86 build machine (bench_password; a small ARM device's core takes a few
// times that); p runs that many times over. Raise ln by one to double both
// the time and the memory (a server verifying several logins at once needs that memory for
// each). Strings made with other parameters keep verifying with theirs.
//
// verify() compares in constant time and refuses (false) a string it cannot read, one whose
// parameters lie outside ln 10-20, r 1-32, p 1-16 (so a planted string cannot make it work for
// minutes), or a password that is empty. All functions are thread-safe.
class ZRNET_EXPORT ZRPassword
{
public:
    static constexpr int DefaultLogN = 15;
    static constexpr int MinimumLength = 8;

    // Empty when the key derivation fails (OpenSSL short of memory, say).
    static QByteArray hash(const QString &password, int logN = DefaultLogN);
    static bool verify(const QString &password, const QByteArray &stored);

    // Why a password would be easy to guess: shorter than MinimumLength characters, or one of
    // the most common passwords (letter case aside); empty when it will do. No rules of
    // composition: length is what makes a password strong.
    static QString weakness(const QString &password);
};

#endif // ZRPASSWORD_H
