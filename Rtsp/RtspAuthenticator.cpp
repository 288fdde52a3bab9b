#include "Rtsp/RtspAuthenticator.h"

#include "Common/StringUtility.h"

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/md5.h>
#include <libavutil/random_seed.h>
}

#include <cctype>
#include <cstdio>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

using Halvora::Common::StringUtility;

void RtspAuthenticator::SetCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
    m_hasCredentials = true;
}

std::string RtspAuthenticator::Md5Hex(const std::string& text) {
    uint8_t digest[16];
    av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    static const char kHex[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> RtspAuthenticator::ParseParameters(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && out.size() < 64) {
        while (i < n && (text[i] == ',' || std::isspace(static_cast<unsigned char>(text[i])))) ++i;
        size_t keyStart = i;
        while (i < n && text[i] != '=' && text[i] != ',') ++i;
        std::string key = StringUtility::ToLower(StringUtility::Trim(text.substr(keyStart, i - keyStart)));
        std::string value;
        if (i < n && text[i] == '=') {
            ++i;
            while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
            if (i < n && text[i] == '"') {
                ++i;
                while (i < n && text[i] != '"') {
                    if (text[i] == '\\' && i + 1 < n) ++i;
                    value.push_back(text[i]);
                    ++i;
                }
                if (i < n) ++i;  // closing quote
            } else {
                size_t valueStart = i;
                while (i < n && text[i] != ',') ++i;
                value = StringUtility::Trim(text.substr(valueStart, i - valueStart));
            }
        }
        if (!key.empty()) out.emplace_back(key, value);
    }
    return out;
}

bool RtspAuthenticator::OnChallenge(const std::vector<std::string>& challenges) {
    m_stale = false;
    if (!m_hasCredentials) return false;
    const std::string* basic = nullptr;
    const std::string* digest = nullptr;
    for (const auto& c : challenges) {
        std::string lower = StringUtility::ToLower(StringUtility::Trim(c));
        if (lower.compare(0, 7, "digest ") == 0 && !digest) digest = &c;
        else if (lower.compare(0, 5, "basic") == 0 && !basic) basic = &c;
    }
    if (digest) {
        std::string params = StringUtility::Trim(*digest).substr(7);
        std::string realm, nonce, opaque, algorithm, qop, stale;
        for (const auto& kv : ParseParameters(params)) {
            if (kv.first == "realm") realm = kv.second;
            else if (kv.first == "nonce") nonce = kv.second;
            else if (kv.first == "opaque") opaque = kv.second;
            else if (kv.first == "algorithm") algorithm = kv.second;
            else if (kv.first == "qop") qop = kv.second;
            else if (kv.first == "stale") stale = kv.second;
        }
        std::string algo = StringUtility::ToLower(algorithm);
        if (!nonce.empty() && (algo.empty() || algo == "md5")) {
            m_scheme = Scheme::Digest;
            m_realm = realm;
            if (nonce != m_nonce) m_nonceCount = 0;
            m_nonce = nonce;
            m_opaque = opaque;
            m_algorithm = algorithm;
            m_qopAuth = false;
            for (const auto& option : ParseParameters(StringUtility::ToLower(qop)))
                if (option.first == "auth") m_qopAuth = true;
            m_stale = StringUtility::ToLower(stale) == "true";
            if (m_cnonce.empty()) {
                char buf[17];
                std::snprintf(buf, sizeof buf, "%08x%08x", av_get_random_seed(), av_get_random_seed());
                m_cnonce = buf;
            }
            return true;
        }
    }
    if (basic) {
        m_scheme = Scheme::Basic;
        return true;
    }
    return false;
}

std::string RtspAuthenticator::Authorization(const std::string& method, const std::string& uri) {
    if (m_scheme == Scheme::Basic) {
        std::string plain = m_user + ":" + m_password;
        std::string out(AV_BASE64_SIZE(plain.size()), '\0');
        av_base64_encode(&out[0], static_cast<int>(out.size()), reinterpret_cast<const uint8_t*>(plain.data()),
                         static_cast<int>(plain.size()));
        out.resize(std::char_traits<char>::length(out.c_str()));
        return "Basic " + out;
    }
    if (m_scheme == Scheme::Digest) {
        const std::string ha1 = Md5Hex(m_user + ":" + m_realm + ":" + m_password);
        const std::string ha2 = Md5Hex(method + ":" + uri);
        std::string header = "Digest username=\"" + m_user + "\", realm=\"" + m_realm + "\", nonce=\"" + m_nonce +
                             "\", uri=\"" + uri + "\"";
        std::string response;
        if (m_qopAuth) {
            char nc[9];
            std::snprintf(nc, sizeof nc, "%08x", ++m_nonceCount);
            response = Md5Hex(ha1 + ":" + m_nonce + ":" + nc + ":" + m_cnonce + ":auth:" + ha2);
            header += ", response=\"" + response + "\", qop=auth, nc=" + nc + ", cnonce=\"" + m_cnonce + "\"";
        } else {
            response = Md5Hex(ha1 + ":" + m_nonce + ":" + ha2);
            header += ", response=\"" + response + "\"";
        }
        if (!m_algorithm.empty()) header += ", algorithm=" + m_algorithm;
        if (!m_opaque.empty()) header += ", opaque=\"" + m_opaque + "\"";
        return header;
    }
    return {};
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
