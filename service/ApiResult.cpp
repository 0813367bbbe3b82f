#include "service/ApiResult.h"

#include <sstream>

#include "core/DebugLog.h"

ApiResult parseApiResponse(const std::string& text) {
  writeDebugLog("raw response: " + maskPasswords(text) + "\n");
  ApiResult result;
  result.kind = ApiResult::unusable;
  try {
    // RapidJSON reads a zero byte as the end of input, which would hide what
    // follows it; valid JSON never holds a raw zero byte.
    if (text.find('\0') != std::string::npos) return result;
    rapidjson::Document doc;
    // Invalid UTF-8 in the raw text and what an escape makes of it alike.
    if (!parseJsonText(doc, text) || !doc.IsObject() || !jsonStringsAreUtf8(doc)) return result;
    const int rst = jsonTypedMember(doc, "rst", &rapidjson::Value::IsInt).GetInt();
    result.kind = rst == 0 ? ApiResult::success : ApiResult::serverError;
    result.code = rst;
    result.doc = std::move(doc);
  } catch (const std::exception&) {
    result.kind = ApiResult::unusable;
    result.code = 0;
  }
  return result;
}

std::optional<std::string> buildApiRequest(const std::string& op, rapidjson::Document& params) {
  if (params.IsNull()) params.SetObject();
  if (!params.IsObject()) throw std::logic_error("request parameters are not an object");
  auto& allocator = params.GetAllocator();
  params.AddMember("op", rapidjson::Value(op.data(), static_cast<rapidjson::SizeType>(op.size()), allocator),
                   allocator);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  if (!params.Accept(writer)) return std::nullopt;
  return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The end of the string token that opens at start (one past its closing
// quote), or the text's end for a cut-off string.
size_t stringEnd(const std::string& text, size_t start) {
  size_t at = start + 1;
  while (at < text.size()) {
    if (text[at] == '\\')
      at += 2;
    else if (text[at] == '"')
      return at + 1;
    else
      ++at;
  }
  return text.size();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Compared by the key the token parses as, so an escaped "p\u0077" is "pw".
// Units outside ASCII stand as one byte 0x80: no password key holds one.
bool isPasswordKey(const std::string& text, size_t start, size_t end) {
  if (end - start < 2 || text[end - 1] != '"') return false;  // cut off: nothing follows
  std::string key;
  for (size_t at = start + 1; at < end - 1; ++at) {
    if (text[at] != '\\') {
      key += text[at];
      continue;
    }
    const char escaped = text[++at];
    if (escaped == 'u') {
      if (end - 1 - at <= 4) return false;
      int unit = 0;
      for (int i = 1; i <= 4; ++i) {
        const int digit = hexValue(text[at + i]);
        if (digit < 0) return false;
        unit = unit * 16 + digit;
      }
      at += 4;
      key += unit < 0x80 ? static_cast<char>(unit) : '\x80';
    } else {
      static const char kEscapes[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
      const char* pair = nullptr;
      for (const char* p = kEscapes; *p; p += 2)
        if (*p == escaped) pair = p;
      if (!pair) return false;
      key += pair[1];
    }
  }
  return key == "pw" || key == "password";
}

}  // namespace

std::string maskPasswords(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  // After a password key and its colon, the next string token is its value.
  enum { none, sawKey, sawColon } expect = none;
  size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (c == '"') {
      const size_t end = stringEnd(text, at);
      if (expect == sawColon) {
        out += "\"***\"";
        expect = none;
      } else {
        out.append(text, at, end - at);
        expect = isPasswordKey(text, at, end) ? sawKey : none;
      }
      at = end;
      continue;
    }
    out += c;
    ++at;
    if (isJsonSpace(c)) continue;
    expect = (c == ':' && expect == sawKey) ? sawColon : none;
  }
  return out;
}

namespace {

void logHandlerException(const char* when, const char* what) {
  std::ostringstream line;
  line << "API handler threw on " << when << ": " << what << "\n";
  writeDebugLog(line.str());
}

}  // namespace

void deliverApiReply(const ApiHandler& handler, const std::string& text) {
  try {
    handler(parseApiResponse(text));
    return;
  } catch (const std::exception& error) {
    logHandlerException("reply", error.what());
  } catch (...) {
    logHandlerException("reply", "unknown exception");
  }
  deliverApiUnusable(handler);
}

void deliverApiUnusable(const ApiHandler& handler) {
  try {
    ApiResult result;
    result.kind = ApiResult::unusable;
    handler(std::move(result));
  } catch (const std::exception& error) {
    logHandlerException("unusable reply", error.what());
  } catch (...) {
    logHandlerException("unusable reply", "unknown exception");
  }
}

void deliverApiFailure(const ApiHandler& handler) {
  try {
    ApiResult result;
    result.kind = ApiResult::noReply;
    handler(std::move(result));
  } catch (const std::exception& error) {
    logHandlerException("no reply", error.what());
  } catch (...) {
    logHandlerException("no reply", "unknown exception");
  }
}
