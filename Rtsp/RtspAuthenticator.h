#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// Basic and Digest (MD5, with or without qop "auth") authentication of RTSP requests from the
// credentials of the address. Knows nothing until a 401 challenge arrives.
class RtspAuthenticator {
public:
    enum class Scheme { None, Basic, Digest };

    void SetCredentials(const std::string& user, const std::string& password);
    bool HasCredentials() const { return m_hasCredentials; }

    // Takes the WWW-Authenticate values of a 401 reply. Digest is preferred over Basic. Returns
    // false when no known scheme was offered or there are no credentials to answer with.
    bool OnChallenge(const std::vector<std::string>& challenges);
    // Whether the last challenge was Digest with stale=true (the nonce expired, the same
    // credentials may be retried).
    bool Stale() const { return m_stale; }
    Scheme CurrentScheme() const { return m_scheme; }

    // The Authorization header value for a request, empty when not authenticating yet.
    std::string Authorization(const std::string& method, const std::string& uri);

    static std::string Md5Hex(const std::string& text);
    // Parameters of a Digest challenge ("realm", "nonce", ...), keys in lower case.
    static std::vector<std::pair<std::string, std::string>> ParseParameters(const std::string& text);

    // Fixed client nonce, for tests.
    void SetClientNonce(const std::string& cnonce) { m_cnonce = cnonce; }

private:
    bool m_hasCredentials = false;
    std::string m_user;
    std::string m_password;
    Scheme m_scheme = Scheme::None;
    std::string m_realm;
    std::string m_nonce;
    std::string m_opaque;
    std::string m_algorithm;
    bool m_qopAuth = false;
    bool m_stale = false;
    uint32_t m_nonceCount = 0;
    std::string m_cnonce;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
