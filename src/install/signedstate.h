#pragma once

#include "signature.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What the updater keeps of the signed releases it verified, beside App in App.signed,
// written whole by rename: the installed release's signed time and its package's
// BLAKE2b-512 (so that an unchanged release is checked again without a download), and
// every key that a verified release revoked, for good.
struct SignedState
{
    qint64 timestamp = -1;
    QByteArray blake2b;
    QStringList revoked;
    // The key that signed the installed release: once it is revoked, its time binds no
    // more, so that a release it signed far ahead cannot lock the vendor's next ones out.
    QString key;
};

// What a signed build holds a release to: its keys, what it kept, and the time.
struct SigningPolicy
{
    QList<QByteArray> keys;
    SignedState installed;
    // Unix seconds.
    qint64 now = 0;
};

SignedState readSignedState(const QString &appPath);
bool writeSignedState(const QString &appPath, const SignedState &state);

// Why a release signed as `release` and announced as `version` may not replace the
// installed one, or nothing: a comment that says a thing twice or names no time, a
// revoked key, a version that is not the signed one, a time before the installed
// release's (unless a revoked key set it) or more than an hour ahead of the clock, an end
// date more than an hour past.
QString refuseSignedRelease(const SignedRelease &release, const QString &version,
                            const SigningPolicy &policy);

// `state` with what an installed release says besides: the keys it revokes (never the
// one that signed it, nor the last of `keyIds`, the build's own keys, that is not
// revoked), its time, its key and its package's digest.
SignedState withInstalled(SignedState state, const SignedRelease &release,
                          const QByteArray &blake2b, const QStringList &keyIds);
// The keys a release revokes, as withInstalled() takes them.
SignedState withRevocations(SignedState state, const SignedRelease &release,
                            const QStringList &keyIds);
