#include "wifi/WifiNetwork.h"

#include <array>
#include <limits>

namespace corvane {
namespace {

using Key = WifiNetwork::CodingKeys;

constexpr std::array<std::string_view, 4> kKeyTexts = {"ssid", "bssid", "signalStrength", "channel"};

std::string keyText(Key key)
{
    return std::string(WifiNetwork::stringValue(key));
}

// The value under key, or why there is none.
std::variant<const nlohmann::json*, WifiCodingError> member(const nlohmann::json& object, Key key)
{
    const auto it = object.find(keyText(key));
    if (it == object.end())
        return WifiCodingError{
            WifiCodingError::Kind::keyNotFound, keyText(key), "No value associated with key \"" + keyText(key) + "\"."};
    if (it->is_null())
        return WifiCodingError{WifiCodingError::Kind::valueNotFound, keyText(key),
            "Expected a value for key \"" + keyText(key) + "\" but found null instead."};
    return &*it;
}

WifiCodingError mismatch(Key key, const char* expected, const nlohmann::json& found)
{
    return {WifiCodingError::Kind::typeMismatch, keyText(key),
        std::string("Expected to decode ") + expected + " for key \"" + keyText(key) + "\" but found "
            + found.type_name() + " instead."};
}

std::variant<std::string, WifiCodingError> decodeText(const nlohmann::json& object, Key key)
{
    auto found = member(object, key);
    if (auto* error = std::get_if<WifiCodingError>(&found))
        return std::move(*error);
    const nlohmann::json& value = *std::get<const nlohmann::json*>(found);
    if (!value.is_string())
        return mismatch(key, "a string", value);
    return value.get<std::string>();
}

std::variant<std::int64_t, WifiCodingError> decodeInteger(const nlohmann::json& object, Key key)
{
    auto found = member(object, key);
    if (auto* error = std::get_if<WifiCodingError>(&found))
        return std::move(*error);
    const nlohmann::json& value = *std::get<const nlohmann::json*>(found);
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    // nlohmann reads non-negative literals as unsigned; beyond int64 they do not fit.
    if (value.is_number_unsigned()
        && value.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    return mismatch(key, "a 64-bit integer", value);
}

} // namespace

std::string_view WifiNetwork::stringValue(CodingKeys key)
{
    return kKeyTexts[static_cast<std::size_t>(key)];
}

std::optional<WifiNetwork::CodingKeys> WifiNetwork::codingKey(std::string_view text)
{
    for (std::size_t i = 0; i < kKeyTexts.size(); ++i) {
        if (kKeyTexts[i] == text)
            return static_cast<CodingKeys>(i);
    }
    return std::nullopt;
}

std::optional<WifiNetwork::CodingKeys> WifiNetwork::codingKey(int /*intValue*/)
{
    return std::nullopt;
}

std::optional<int> WifiNetwork::intValue(CodingKeys /*key*/)
{
    return std::nullopt;
}

nlohmann::json WifiNetwork::encode() const
{
    nlohmann::json object = nlohmann::json::object();
    object[keyText(Key::ssid)] = ssid;
    object[keyText(Key::bssid)] = bssid;
    object[keyText(Key::signalStrength)] = signalStrength;
    object[keyText(Key::channel)] = channel;
    return object;
}

std::variant<WifiNetwork, WifiCodingError> WifiNetwork::decode(const nlohmann::json& object)
{
    if (!object.is_object())
        return WifiCodingError{WifiCodingError::Kind::notAnObject, {},
            std::string("Expected to decode a dictionary but found ") + object.type_name() + " instead."};

    WifiNetwork network;
    auto ssidValue = decodeText(object, Key::ssid);
    if (auto* error = std::get_if<WifiCodingError>(&ssidValue))
        return std::move(*error);
    network.ssid = std::move(std::get<std::string>(ssidValue));

    auto bssidValue = decodeText(object, Key::bssid);
    if (auto* error = std::get_if<WifiCodingError>(&bssidValue))
        return std::move(*error);
    network.bssid = std::move(std::get<std::string>(bssidValue));

    auto signalValue = decodeInteger(object, Key::signalStrength);
    if (auto* error = std::get_if<WifiCodingError>(&signalValue))
        return std::move(*error);
    network.signalStrength = std::get<std::int64_t>(signalValue);

    auto channelValue = decodeInteger(object, Key::channel);
    if (auto* error = std::get_if<WifiCodingError>(&channelValue))
        return std::move(*error);
    network.channel = std::get<std::int64_t>(channelValue);
    return network;
}

} // namespace corvane
