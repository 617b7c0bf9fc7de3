// SPDX-License-Identifier: MPL-2.0
#include "value_text.h"

#include <type_traits>
#include <vector>

#include "platform/error.h"
#include "platform/strings.h"
#include "platform/variant.h"

namespace varo::tool {

namespace {

using ua::uaBuildInType;
using ua::uaVariant;

template <class T>
struct IsVector : std::false_type {};
template <class E, class A>
struct IsVector<std::vector<E, A>> : std::true_type {};

std::unique_ptr<uaVariant> GuessScalar(std::string_view text) {
  std::string_view t = Trim(text);
  if (auto i = TryStrToInt64(t)) {
    if (*i >= INT32_MIN && *i <= INT32_MAX) return std::make_unique<uaVariant>(static_cast<int32_t>(*i));
    return std::make_unique<uaVariant>(static_cast<int64_t>(*i));
  }
  if (auto d = TryStrToFloat(t)) return std::make_unique<uaVariant>(*d);
  return std::make_unique<uaVariant>(std::string(text));
}

}  // namespace

std::unique_ptr<uaVariant> ScalarFromText(std::string_view text, uaBuildInType type) {
  const std::string_view t = Trim(text);
  switch (type) {
    case ua::bit_Boolean:
      if (SameText(t, "true")) return std::make_unique<uaVariant>(true);
      if (SameText(t, "false")) return std::make_unique<uaVariant>(false);
      break;
    case ua::bit_Guid: {
      std::string g(t);
      if (!StartsWith(g, "{")) g = "{" + g + "}";
      return std::make_unique<uaVariant>(StringToGUID(g));
    }
    case ua::bit_ByteString:
      if (t.size() % 2 != 0) throw EConvertError("'" + std::string(t) + "' is not a valid hex byte string");
      return std::make_unique<uaVariant>(HexToBytes(t));
    case ua::bit_StatusCode:
      if (StartsWithText(t, "0x")) {
        ByteArray b = HexToBytes(t.substr(2));
        if (t.size() != 10 || b.size() != 4) {
          throw EConvertError("'" + std::string(t) + "' is not a valid status code");
        }
        return std::make_unique<uaVariant>(uaVariant::FromStatusCode(
            (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]}));
      }
      break;
    case ua::bit_QualifiedName: {
      const size_t colon = text.find(':');
      if (colon != std::string_view::npos) {
        if (auto ns = TryStrToInt64(text.substr(0, colon)); ns && *ns >= 0 && *ns <= 0xFFFF) {
          return std::make_unique<uaVariant>(std::make_unique<ua::uaQualifiedName>(
              std::string(text.substr(colon + 1)), static_cast<uint16_t>(*ns)));
        }
      }
      return std::make_unique<uaVariant>(std::make_unique<ua::uaQualifiedName>(std::string(text), 0));
    }
    case ua::bit_LocalizedText: {
      const size_t at = text.rfind(":l=");
      if (at != std::string_view::npos) {
        return std::make_unique<uaVariant>(std::make_unique<ua::uaLocalizedText>(
            std::string(text.substr(0, at)), std::string(text.substr(at + 3))));
      }
      return std::make_unique<uaVariant>(std::make_unique<ua::uaLocalizedText>(std::string(text), ""));
    }
    case ua::bit_String:
    case ua::bit_XmlElement:
      // Kept as given, spaces included.
      return uaVariant::createScalar(Variant(text), type);
    case ua::bit_Variant:
      return GuessScalar(text);
    case ua::bit_DateTime:
      // The platform parses ISO 8601 with an offset and the display form; both are UTC here.
      return std::make_unique<uaVariant>(uaVariant::FromDateTime(StrToDateTime(t)));
    case ua::bit_null:
      throw EVariantError("data type not supported as variant");
    default:
      break;
  }
  std::unique_ptr<uaVariant> v = uaVariant::createScalar(Variant(t), type);
  if (!v) throw EVariantError("data type not supported as variant");
  return v;
}

std::unique_ptr<uaVariant> ArrayFromText(std::string_view text, uaBuildInType type) {
  if (type == ua::bit_Variant) {
    std::vector<std::unique_ptr<uaVariant>> items;
    if (!text.empty()) {
      for (const std::string& part : Split(text, ';')) items.push_back(GuessScalar(part));
    }
    return std::make_unique<uaVariant>(uaVariant::Make(ua::bit_Variant, 1, std::move(items)));
  }
  std::unique_ptr<uaVariant> empty = uaVariant::createNullArray(0, type);
  if (!empty) throw EVariantError("data type not supported as array");
  uaVariant::Storage arr = std::move(empty->Value());
  if (!text.empty()) {
    for (const std::string& part : Split(text, ';')) {
      std::unique_ptr<uaVariant> one = ScalarFromText(part, type);
      std::visit(
          [&](auto& vec) {
            using V = std::decay_t<decltype(vec)>;
            if constexpr (IsVector<V>::value) {
              using E = typename V::value_type;
              if constexpr (std::is_same_v<E, bool>) {
                vec.push_back(one->Get<bool>());
              } else {
                E* p = one->GetIf<E>();
                if (p == nullptr) throw EVariantError("data type not supported as array");
                vec.push_back(std::move(*p));
              }
            } else {
              throw EVariantError("data type not supported as array");
            }
          },
          arr);
    }
  }
  return std::make_unique<uaVariant>(uaVariant::Make(type, 1, std::move(arr)));
}

uaBuildInType BuildInTypeOfDataType(const ua::uaNodeId* dataType) {
  if (dataType == nullptr || dataType->NamespaceIndex() != 0 || dataType->IdentifierType() != ua::itNumeric) {
    return ua::bit_null;
  }
  const uint32_t id = dataType->IdAsNumber();
  if (id >= 1 && id <= ua::kMaxBuildInType) return static_cast<uaBuildInType>(id);
  return ua::bit_null;
}

}  // namespace varo::tool
