#include "zrpassword.h"

#include "zrlogging_p.h"

#include <QList>
#include <QRandomGenerator>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <memory>

namespace {

constexpr int SaltBytes = 16;
constexpr int HashBytes = 32;
constexpr int BlockSize = 8; // r
constexpr int Parallel = 1; // p

struct Cost
{
    int logN = 0;
    int r = 0;
    int p = 0;
};

struct KdfFree
{
    void operator()(EVP_KDF *kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX *context) const { EVP_KDF_CTX_free(context); }
};

QByteArray scrypt(const QByteArray &password, const QByteArray &salt, const Cost &cost)
{
    std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "SCRYPT", nullptr));
    std::unique_ptr<EVP_KDF_CTX, KdfFree> context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!context)
        return QByteArray();
    uint64_t n = uint64_t(1) << cost.logN;
    uint32_t r = uint32_t(cost.r);
    uint32_t p = uint32_t(cost.p);
    // OpenSSL's own bound is 32 MiB, just what the default cost takes: room for ln=20 instead.
    uint64_t maxMemory = 128 * r * (n + p + 2) + (uint64_t(1) << 20);
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD,
            const_cast<char *>(password.constData()), size_t(password.size())),
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_SALT, const_cast<char *>(salt.constData()), size_t(salt.size())),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMemory),
        OSSL_PARAM_construct_end(),
    };
    QByteArray key(HashBytes, Qt::Uninitialized);
    if (EVP_KDF_derive(context.get(), reinterpret_cast<unsigned char *>(key.data()),
            size_t(key.size()), params)
        != 1) {
        qCWarning(
            lcHttp, "password hashing failed (scrypt ln=%d r=%d p=%d)", cost.logN, cost.r, cost.p);
        return QByteArray();
    }
    return key;
}

constexpr QByteArray::Base64Options Base64
    = QByteArray::Base64Encoding | QByteArray::OmitTrailingEquals;

// The cost in "ln=15,r=8,p=1", within bounds; a zero logN when it is not.
Cost costOf(const QByteArray &text)
{
    const QList<QByteArray> items = text.split(',');
    Cost cost;
    if (items.size() != 3)
        return {};
    const char *const names[] = { "ln=", "r=", "p=" };
    int *const values[] = { &cost.logN, &cost.r, &cost.p };
    const int limits[][2] = { { 10, 20 }, { 1, 32 }, { 1, 16 } };
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        if (!items.at(i).startsWith(names[i]))
            return {};
        *values[i] = items.at(i).mid(int(qstrlen(names[i]))).toInt(&ok);
        if (!ok || *values[i] < limits[i][0] || *values[i] > limits[i][1])
            return {};
    }
    return cost;
}

// Of the passwords most often found in leaked lists, those long enough to pass the length rule.
const char *const Common[]
    = { "password", "12345678", "123456789", "1234567890", "qwertyuiop", "password1", "iloveyou",
          "11111111", "00000000", "87654321", "abcd1234", "12341234", "qwerty123", "1q2w3e4r",
          "1qaz2wsx", "passw0rd", "password123", "sunshine", "princess", "football", "baseball",
          "superman", "starwars", "trustno1", "letmein1", "welcome1", "admin123", "administrator",
          "changeme", "qwertyui", "asdfghjk", "zxcvbnm1", "11223344", "123123123", "987654321",
          "qazwsxedc", "q1w2e3r4", "aaaaaaaa", "computer", "whatever", "internet", "michelle",
          "jennifer", "1234qwer", "123qweasd", "default1", "raspberry", "welcome123", "password!" };

} // namespace

QByteArray ZRPassword::hash(const QString &password, int logN)
{
    QByteArray salt(SaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(salt.data()), SaltBytes / 4);
    const Cost cost { logN, BlockSize, Parallel };
    const QByteArray key = scrypt(password.toUtf8(), salt, cost);
    if (key.isEmpty())
        return QByteArray();
    return QByteArrayLiteral("$scrypt$ln=") + QByteArray::number(cost.logN)
        + ",r=" + QByteArray::number(cost.r) + ",p=" + QByteArray::number(cost.p) + '$'
        + salt.toBase64(Base64) + '$' + key.toBase64(Base64);
}

bool ZRPassword::verify(const QString &password, const QByteArray &stored)
{
    const QList<QByteArray> fields = stored.trimmed().split('$');
    if (password.isEmpty() || fields.size() != 5 || !fields.at(0).isEmpty()
        || fields.at(1) != "scrypt")
        return false;
    const Cost cost = costOf(fields.at(2));
    const QByteArray salt = QByteArray::fromBase64(fields.at(3), Base64);
    const QByteArray expected = QByteArray::fromBase64(fields.at(4), Base64);
    if (cost.logN == 0 || salt.size() < 8 || expected.size() != HashBytes)
        return false;
    const QByteArray key = scrypt(password.toUtf8(), salt, cost);
    return key.size() == HashBytes
        && CRYPTO_memcmp(key.constData(), expected.constData(), size_t(HashBytes)) == 0;
}

QString ZRPassword::weakness(const QString &password)
{
    // Characters as a person counts them, not UTF-16 units.
    if (password.toUcs4().size() < MinimumLength)
        return QStringLiteral("shorter than %1 characters").arg(MinimumLength);
    const QByteArray folded = password.toLower().toUtf8();
    if (std::any_of(std::begin(Common), std::end(Common),
            [&folded](const char *common) { return folded == common; }))
        return QStringLiteral("one of the most common passwords");
    return QString();
}
