// The runtime's error table. Lookup is a linear search: the table is small and read only
// when an error text is built.
#include "lmx/lmx_base.h"

namespace lmx {
namespace {

struct ErrorEntry {
  int code;
  const char* message;
};

const ErrorEntry kErrorTable[] = {
    {ELMX_OK, "No Error"},
    {ELMX_UNABLE_TO_OPEN_FILE, "Unable to open file"},
    {ELMX_ALL_CARDINALITY, "Violation of xs:all cardinality constraints"},
    {ELMX_ATTRIBUTE_ALREADY_READ, "Attribute has already been read"},
    {ELMX_ATTRIBUTES_IN_ANONYMOUS, "Attributes found in anonymous compositor"},
    {ELMX_BADLY_FORMED, "XML badly formed"},
    {ELMX_ENCODING_NOT_SUPPORTED, "XML character encoding not supported"},
    {ELMX_BAD_CHOICE, "Inappropriate choice option selected"},
    {ELMX_BAD_COMMENT, "Badly formed comment"},
    {ELMX_BAD_DTD, "Badly formed DTD"},
    {ELMX_BAD_END_OF_ELEMENT, "Bad end of element"},
    {ELMX_BAD_START_TAG_END, "Bad start tag end"},
    {ELMX_BAD_END_TAG, "Syntax error in end tag"},
    {ELMX_BAD_XML_DECL, "Bad XML Decl spec"},
    {ELMX_BAD_XML_VERSION, "Unsupported XML version"},
    {ELMX_ENCODING_MISMATCH, "Mis-match between specified char encoding and read bytes"},
    {ELMX_ELEMENT_NOT_FOUND, "Element not found"},
    {ELMX_EXTERNAL_ENTITY, "Reference to external entity"},
    {ELMX_FRACTION_DIGITS_EXCEEDED, "Fraction digits exceeded"},
    {ELMX_LENGTH_TOO_LONG, "Length too long"},
    {ELMX_LENGTH_TOO_SHORT, "Length too short"},
    {ELMX_MANDATORY_ELEMENT_MISSING, "Mandatory element missing"},
    {ELMX_NO_PATTERN_MATCHED, "No pattern matched"},
    {ELMX_NOT_WELL_FORMED, "Not well formed"},
    {ELMX_RECURSIVE_ENTITY, "Recursive entity definition"},
    {ELMX_REQUIRED_ATTRIBUTES_MISSING, "Required attribute(s) missing"},
    {ELMX_OCCURRENCE_ERROR, "Element instances exceeds maxOccurs"},
    {ELMX_TOTAL_DIGITS_EXCEEDED, "Total digits exceeded"},
    {ELMX_UNABLE_TO_READ_ATTRIBUTE_VALUE, "Unable to read attribute value"},
    {ELMX_UNABLE_TO_READ_ELEMENT_VALUE, "Unable to read element value"},
    {ELMX_UNKNOWN_ELEMENT_IN_ALL, "Unknown element in xs:all"},
    {ELMX_UNKNOWN_ELEMENT_IN_COMPLEX_CONTENT, "Unknown element in complexContent"},
    {ELMX_UNEXPECTED_EMPTY_ELEMENT, "Unexpected empty element"},
    {ELMX_UNEXPECTED_ENTITY, "Unexpected entity"},
    {ELMX_UNEXPECTED_EOM, "Unexpected end of message"},
    {ELMX_VALUE_BAD_FORMAT, "Invalid value format for this type"},
    {ELMX_VALUE_EXCEEDS_MAX, "Value greater than specified maximum"},
    {ELMX_VALUE_EXCEEDS_MIN, "Value less than specified minimum"},
    {ELMX_VALUE_NOT_ENUMERATED, "Value does not match enumerations"},
    {ELMX_UNEXPECTED_ATTRIBUTE, "Unexpected attribute"},
    {ELMX_NILLED_ELEMENT_NOT_EMPTY, "Nilled element body not empty"},
    {ELMX_ENTITY_NOT_FOUND, "Entity not found"},
};

static_assert(sizeof kErrorTable / sizeof kErrorTable[0] == 42, "the table has 42 entries");

}  // namespace

const char* error_message(int code) {
  for (const ErrorEntry& e : kErrorTable) {
    if (e.code == code) return e.message;
  }
  return "";
}

}  // namespace lmx
