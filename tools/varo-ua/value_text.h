// SPDX-License-Identifier: MPL-2.0
// Text given on the varo-ua command line turned into UA values of a known built-in type.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ua/encoding/builtin_types.h"

namespace varo::tool {

// A scalar of the type from its text:
//   Boolean     true/false (any case) or a number, 0 being false
//   integers, Float, Double, String, XmlElement, NodeId, ExpandedNodeId  the usual text forms
//   DateTime    ISO 8601 ("2024-01-02T03:04:05.006Z") or "YYYY-MM-DD hh:mm:ss[.zzz]", UTC
//   Guid        with or without braces
//   ByteString  hex digits, two per byte
//   StatusCode  decimal, or hex with 0x
//   QualifiedName  "name" or "<namespace index>:name"
//   LocalizedText  "text" or "text:l=<locale>"
//   Variant     a number gives Int32 (or Int64, Double), anything else a String
// ExtensionObject, DataValue and DiagnosticInfo cannot be given as text (EVariantError).
std::unique_ptr<ua::uaVariant> ScalarFromText(std::string_view text, ua::uaBuildInType type);

// A one-dimensional array of the type from "a;b;c"; the empty text is the empty array.
std::unique_ptr<ua::uaVariant> ArrayFromText(std::string_view text, ua::uaBuildInType type);

// The built-in type of a namespace-0 data type node id (i=1 .. i=25); bit_null for any
// other data type (structures, enumerations, BaseDataType, ...).
ua::uaBuildInType BuildInTypeOfDataType(const ua::uaNodeId* dataType);

}  // namespace varo::tool
