#include "report/StatusReport.h"

#include "json/JsonWriter.h"
#include "text/Fallbacks.h"
#include "text/Utf8.h"

#include <algorithm>
#include <charconv>
#include <chrono>

namespace corvane::statusreport {
namespace {

// JSON text in the canonical form, compact or indented like the served
// document always was (two spaces, ": ").
class Writer {
public:
    Writer(bool pretty, std::size_t networks)
        : m_pretty(pretty)
    {
        m_text.reserve(512 + networks * (pretty ? 160 : 96));
    }

    void open(char bracket)
    {
        m_text += bracket;
        ++m_depth;
        m_first = true;
    }

    void close(char bracket)
    {
        --m_depth;
        if (!m_first)
            newline();
        m_text += bracket;
        m_first = false;
    }

    // Starts an array element.
    void item()
    {
        if (!m_first)
            m_text += ',';
        newline();
        m_first = false;
    }

    // The keys are our own ASCII words: nothing to escape.
    Writer& key(std::string_view name)
    {
        item();
        m_text += '"';
        m_text += name;
        m_text += m_pretty ? "\": " : "\":";
        return *this;
    }

    void value(std::string_view text) { string(text); }
    void value(bool flag) { m_text += flag ? "true" : "false"; }

    void value(std::int64_t number)
    {
        char digits[24];
        m_text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
    }

    std::optional<std::string> take() { return m_valid ? std::optional(std::move(m_text)) : std::nullopt; }

private:
    void newline()
    {
        if (m_pretty) {
            m_text += '\n';
            m_text.append(2 * static_cast<std::size_t>(m_depth), ' ');
        }
    }

    void string(std::string_view text)
    {
        static constexpr char kHex[] = "0123456789abcdef";
        m_valid = m_valid && utf8::isValid(text);
        m_text += '"';
        while (!text.empty()) {
            // Runs that need no escape are copied whole.
            const std::size_t plain = std::find_if(text.begin(), text.end(), needsEscape) - text.begin();
            m_text.append(text.data(), plain);
            text.remove_prefix(plain);
            if (text.empty())
                break;
            const char c = text.front();
            text.remove_prefix(1);
            switch (c) {
            case '"': m_text += "\\\""; break;
            case '\\': m_text += "\\\\"; break;
            case '/': m_text += "\\/"; break;
            case '\b': m_text += "\\b"; break;
            case '\f': m_text += "\\f"; break;
            case '\n': m_text += "\\n"; break;
            case '\r': m_text += "\\r"; break;
            case '\t': m_text += "\\t"; break;
            default: // the other control characters
                m_text += "\\u00";
                m_text += kHex[c >> 4];
                m_text += kHex[c & 0x0F];
            }
        }
        m_text += '"';
    }

    static bool needsEscape(char c)
    {
        return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\' || c == '/';
    }

    std::string m_text;
    int m_depth = 0;
    bool m_first = true;
    bool m_pretty;
    bool m_valid = true;
};

// Members in byte order of their keys, as the canonical form sorts them.
std::optional<std::string> write(const Facts& facts, const Report* signedReport, bool pretty)
{
    Writer out(pretty, facts.nearby.size());
    out.open('{');
    out.key("connected_network").open('{');
    out.key("bssid").value(facts.current ? facts.current->bssid : fallback::kNoAddress);
    out.key("ssid").value(facts.current ? facts.current->ssid : fallback::kNoInterface);
    out.close('}');
    out.key("device_id").value(facts.deviceId);
    if (facts.challenge && facts.challenge->keyStorage)
        out.key("key_storage").value(*facts.challenge->keyStorage);
    out.key("nearby_networks").open('[');
    for (const WifiNetwork& network : facts.nearby) {
        out.item();
        out.open('{');
        out.key("bssid").value(network.bssid);
        out.key("channel").value(network.channel);
        out.key("rssi").value(network.signalStrength);
        out.key("ssid").value(network.ssid);
        out.close('}');
    }
    out.close(']');
    if (facts.challenge) {
        out.key("nonce").value(facts.challenge->nonce);
        out.key("origin").value(facts.challenge->origin);
    }
    if (signedReport && signedReport->publicKey)
        out.key(kPublicKeyKey).value(*signedReport->publicKey);
    if (signedReport && signedReport->signature)
        out.key(kSignatureKey).value(*signedReport->signature);
    if (facts.challenge && facts.challenge->signer)
        out.key("signer").value(*facts.challenge->signer);
    out.key("timestamp").value(facts.timestamp);
    out.key("vpn_active").value(facts.vpnActive);
    out.close('}');
    return out.take();
}

} // namespace

std::optional<std::string> signedPayload(const Facts& facts)
{
    return write(facts, nullptr, false);
}

std::optional<std::string> servedDocument(const Report& report)
{
    return write(report.facts, &report, true);
}

std::optional<std::string> signedPayload(const nlohmann::json& served)
{
    if (!served.is_object())
        return std::nullopt;
    nlohmann::json data = served;
    data.erase(kSignatureKey);
    data.erase(kPublicKeyKey);
    return json::writeCompact(data);
}

std::int64_t currentTimestamp()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace corvane::statusreport
