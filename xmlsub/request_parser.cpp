// The manager request parser: one QMMMessage into the request record of a command table.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "xmlsub/qmagentsub.h"
#include "xmlsub/xml_matchers.h"

namespace qma::xmlsub {
namespace {

constexpr const char* kFunc = "QMA_XML_GetManagerRequestInfo";
constexpr const char* kTagMessage = "QMMMessage";
constexpr const char* kTagData = "QMMData";

enum class Lookup { kFound, kMissing, kOpenFailed };

// Every field is looked up on a reader of its own over the whole message, so the order of the
// elements does not matter and each lookup sees the first match in document order.
Lookup lookup_element(const char* message, int length, const char* const* path, char* field,
                      int width) {
  std::memset(field, 0, static_cast<size_t>(width));
  Reader reader = open_memory_reader(message, length);
  if (!reader) return Lookup::kOpenFailed;
  return QMA_xml_GetElementValue(reader.get(), path, nullptr, nullptr, field, width)
             ? Lookup::kFound
             : Lookup::kMissing;
}

Lookup lookup_attribute(const char* message, int length, const char* const* path, const char* attr,
                        char* field, int width) {
  std::memset(field, 0, static_cast<size_t>(width));
  Reader reader = open_memory_reader(message, length);
  if (!reader) return Lookup::kOpenFailed;
  return QMA_xml_GetAttributeValue(reader.get(), path, attr, 1, field, width) ? Lookup::kFound
                                                                              : Lookup::kMissing;
}

// The decimal value of a command code text, as the C library's conversion reads it: leading
// blanks, an optional sign and digits, 0 without digits. Out-of-range values are clamped so
// that a long digit string can never wrap round to a valid code.
int command_code_value(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

struct Parse {
  QMA_XML_LogProc log;
  const char* message;
  int length;

  template <typename... Args>
  void error(int line, const char* format, Args... args) const {
    if (log != nullptr) log(kFunc, kSourceName, line, format, args...);
  }

  // True when the lookup found its item. A reader that could not be opened is logged here; a
  // missing item is logged by `log_missing`, with the words of the field that was looked for.
  template <typename LogMissing>
  bool found(Lookup lookup, int line, LogMissing&& log_missing) const {
    switch (lookup) {
      case Lookup::kFound:
        return true;
      case Lookup::kOpenFailed:
        error(line, "xmlReaderForMemory() error!");
        return false;
      case Lookup::kMissing:
        break;
    }
    log_missing();
    return false;
  }

  // One QMMMessage/QMMData child into its field; false (logged) when it is missing.
  bool data_field(const char* name, char* field, int width, int line) const {
    const char* path[] = {kTagMessage, kTagData, name, ""};
    return found(lookup_element(message, length, path, field, width), line, [&] {
      error(line,
            "QMA_xml_GetElementValue() error! ([%s:%s:%s] not found. Manager message format "
            "error.)",
            kTagMessage, kTagData, name);
    });
  }

  // The optional option id of the request's extension; its absence is no error.
  bool option_id(QMMData& data, int line) const {
    const char* path[] = {kTagMessage, kTagData, "extension", "option", ""};
    if (lookup_attribute(message, length, path, "id", data.OptionID, sizeof data.OptionID) ==
        Lookup::kOpenFailed) {
      error(line, "xmlReaderForMemory() error!");
      return false;
    }
    return true;
  }
};

int parse_request(QMA_XML_LogProc log, const char* message, int length, ReqInfo* req,
                  QMAConfig* config) {
  const Parse parse{log, message, length};
  if (message == nullptr || length < 0 || req == nullptr) {
    parse.error(__LINE__, "xmlReaderForMemory() error!");
    return 0;
  }
  // The lookups stop reading once they found their field; nesting past the limit
  // anywhere, also after the fields, makes the whole request a failed read.
  if (!nesting_within(message, length, kMaxNestingLevels)) {
    parse.error(__LINE__,
                "QMMMessage is nested deeper than %d levels! Manager message format error.",
                kMaxNestingLevels);
    return 0;
  }

  const char* root_path[] = {kTagMessage, ""};
  if (!parse.found(lookup_attribute(message, length, root_path, "MessageVersion",
                                    req->MessageVersion, sizeof req->MessageVersion),
                   __LINE__, [&] {
                     parse.error(__LINE__, "QMA_xml_GetAttributeValue() error! [%s]", kTagMessage);
                   })) {
    return 0;
  }
  const bool version_1_0 = std::strcmp(req->MessageVersion, "1.0") == 0;
  if (!version_1_0 && std::strcmp(req->MessageVersion, "2.0") != 0) {
    parse.error(__LINE__, "QMMMessageVersion is unknown!! QMMMessageVersion=[%s]",
                req->MessageVersion);
  }

  const char* id_path[] = {kTagMessage, "MessageID", ""};
  if (!parse.found(lookup_element(message, length, id_path, req->MessageID, sizeof req->MessageID),
                   __LINE__, [&] {
                     parse.error(__LINE__, "QMA_xml_GetElementValue() error! [%s:%s]", kTagMessage,
                                 "MessageID");
                   })) {
    return 0;
  }

  const char* code_path[] = {kTagMessage, "CommandCode", ""};
  if (!parse.found(
          lookup_element(message, length, code_path, req->CommandCode, sizeof req->CommandCode),
          __LINE__, [&] {
            parse.error(
                __LINE__,
                "QMA_xml_GetElementValue() error! [QMA_QMTAG_QMMMESSAGE:QMA_QMTAG_COMMANDCODE]");
          })) {
    return 0;
  }

  QMMData& data = req->QMMData;
  switch (command_code_value(req->CommandCode)) {
    case 2:
      if (!parse.data_field("FileName", data.FileName, sizeof data.FileName, __LINE__)) return 0;
      if (!parse.data_field("ModuleID", data.ModuleID, sizeof data.ModuleID, __LINE__)) return 0;
      break;
    case 3:
      if (!parse.data_field("ModuleID", data.ModuleID, sizeof data.ModuleID, __LINE__)) return 0;
      if (!parse.data_field("PackageID", data.PackageID, sizeof data.PackageID, __LINE__)) {
        return 0;
      }
      if (!parse.data_field("Mode", data.Mode, sizeof data.Mode, __LINE__)) return 0;
      if (!parse.data_field("ReplyToAddress", data.ReplyToAddress, sizeof data.ReplyToAddress,
                            __LINE__)) {
        return 0;
      }
      if (!parse.data_field("ReplyToPort", data.ReplyToPort, sizeof data.ReplyToPort, __LINE__)) {
        return 0;
      }
      if (config != nullptr) {
        std::memset(config->SavedReplyToAddress, 0, sizeof config->SavedReplyToAddress);
        std::memset(config->SavedReplyToPort, 0, sizeof config->SavedReplyToPort);
        copy_bounded(config->SavedReplyToAddress, sizeof config->SavedReplyToAddress,
                     data.ReplyToAddress);
        copy_bounded(config->SavedReplyToPort, sizeof config->SavedReplyToPort, data.ReplyToPort);
      }
      if (!version_1_0 && !parse.option_id(data, __LINE__)) return 0;
      break;
    case 4:
      if (!parse.data_field("ModuleID", data.ModuleID, sizeof data.ModuleID, __LINE__)) return 0;
      if (!version_1_0 && !parse.option_id(data, __LINE__)) return 0;
      break;
    default:
      break;
  }
  return 1;
}

}  // namespace
}  // namespace qma::xmlsub

extern "C" int QMA_XML_GetManagerRequestInfo(QMA_XML_LogProc log, const char* message, int length,
                                             ReqInfo* req, QMAConfig* config) {
  return qma::xmlsub::parse_request(log, message, length, req, config);
}
