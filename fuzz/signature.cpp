// The signature reader and the trusted comment's fields: the key, the signature text, the
// digest and the file name come from the input, separated by NUL bytes.
#include "signature.h"

#include <QByteArrayList>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayList parts = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))
                                         .split('\0');
    SignedRelease release;
    const QString refusal = checkSignature({parts.value(0)}, QString::fromUtf8(parts.value(1)),
                                           parts.value(2), QString::fromUtf8(parts.value(3)),
                                           &release);
    if (refusal.isEmpty() && release.keyId.size() != 16)
        qFatal("a signature passed without a key id");
    // Whatever the comment holds, its fields read without harm.
    readTrustedComment(parts.value(1));
    // What passes was signed as this very file.
    if (refusal.isEmpty()
        && !QByteArray::fromBase64(parts.value(1)).contains("file:" + parts.value(3))) {
        qFatal("a signature passed that does not name file:%s", parts.value(3).constData());
    }
    return 0;
}
