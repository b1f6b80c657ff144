#pragma once

class QNetworkReply;
class QNetworkRequest;

// Whom the requests trust: the system's certificate authorities, and in a build with
// UPDATER_TRUSTED_CA the vendor's own as well, for years, since the updater never updates
// itself. Reading the whole system store to hand it to the TLS layer beside the vendor's
// authority costs more than the rest of a run, so the request trusts the vendor's alone,
// and a chain that does not end there is checked against the system store, which the
// TLS library then looks into only for the authority that the chain names.
void trustVendorAuthority(QNetworkRequest &request);
// Call on the reply of such a request.
void acceptSystemAuthorities(QNetworkReply *reply);
