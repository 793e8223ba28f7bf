// The response message QMAMessage: sized in a first pass, written in a second.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/qma_version_info.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";
// A piece counts at most this many characters in the sizing pass; wider than any field.
constexpr size_t kPieceCountLimit = 1025;

// The one append operation of both passes.
class Emitter {
 public:
  Emitter(bool sizing, char* buffer, uint32_t capacity)
      : sizing_(sizing),
        buffer_(buffer),
        capacity_(capacity),
        used_(sizing || buffer == nullptr ? 0 : strnlen(buffer, capacity)) {}

  // A fixed text of the layout.
  void text(const char* piece) { put(piece, kPieceCountLimit); }
  // A field value: read no further than its buffer.
  template <size_t N>
  void field(const char (&value)[N]) {
    put(value, N < kPieceCountLimit ? N : kPieceCountLimit);
  }
  // <tag>value</tag>
  template <size_t N>
  void element(const char* tag, const char (&value)[N]) {
    open(tag);
    field(value);
    close(tag);
  }
  // <tag lang="xx">value</tag>
  template <size_t N>
  void lang_element(const char* tag, const char* lang, const char (&value)[N]) {
    text("<");
    text(tag);
    text(" lang=\"");
    text(lang);
    text("\">");
    field(value);
    close(tag);
  }
  void open(const char* tag) {
    text("<");
    text(tag);
    text(">");
  }
  void close(const char* tag) {
    text("</");
    text(tag);
    text(">");
  }
  template <size_t N>
  void attribute(const char* name, const char (&value)[N]) {
    text(" ");
    text(name);
    text("=\"");
    field(value);
    text("\"");
  }
  // <tag name="value">
  template <size_t N>
  void open_with(const char* tag, const char* name, const char (&value)[N]) {
    text("<");
    text(tag);
    attribute(name, value);
    text(">");
  }
  // <Module><extension><option id="X"></option></extension></Module> parts.
  template <size_t N>
  void option_echo(const char (&id)[N]) {
    open("extension");
    open_with("option", "id", id);
    close("option");
    close("extension");
  }

  size_t total() const { return total_; }

 private:
  void put(const char* piece, size_t limit) {
    if (piece == nullptr) return;
    size_t length = strnlen(piece, limit);
    if (sizing_) {
      total_ += length;
      return;
    }
    // The length written so far is kept, so a long answer is not measured again for
    // every piece.
    if (capacity_ == 0 || used_ >= capacity_ - 1) return;
    size_t room = capacity_ - 1 - used_;
    size_t count = length < room ? length : room;
    std::memcpy(buffer_ + used_, piece, count);
    used_ += count;
    buffer_[used_] = '\0';
  }

  bool sizing_;
  char* buffer_;
  uint32_t capacity_;
  size_t used_;
  size_t total_ = 0;
};

void emit_agent_information(Emitter& out, const ResInfo& res) {
  out.element("Status", res.Status);
  out.element("AgentStatus", res.AgentStatus);
  out.element("AgentVersion", res.AgentVersion);
  out.element("HostName", res.HostName);
  out.text("<windows_os");
  out.attribute("major", res.major);
  out.attribute("minor", res.minor);
  out.attribute("sp_major", res.sp_major);
  out.attribute("sp_minor", res.sp_minor);
  out.attribute("arch", res.arch);
  out.text(">");
  out.open_with("reference", "refid", res.refid);
  out.close("reference");
  out.element("product_type", res.product_type);
  out.close("windows_os");
  out.element("OSName", res.OSName);
  out.open_with("target_machine", "model_name", res.model_name);
  out.open_with("n_code", "parent_n_code", res.parent_n_code);
  out.element("child_n_code", res.child_n_code);
  out.close("n_code");
  out.close("target_machine");
  out.element("Guid", res.Guid);
  out.element("Serial", res.Serial);
}

void emit_module(Emitter& out, ModuleVersionEntry& entry, bool writing) {
  out.open("Module");
  out.element("ModuleID", entry.ModuleID);
  out.lang_element("module_name", "ja", entry.ModuleNameJa);
  out.lang_element("module_name", "en", entry.ModuleNameEn);
  out.element("ModuleStatus", entry.ModuleStatus);
  out.element("CurrentVersion", entry.CurrentVersion);
  out.element("ExVersion", entry.ExVersion);
  out.element("ExExVersion", entry.ExExVersion);
  out.element("PackageID", entry.PackageID);
  out.element("Compare", entry.Compare);
  out.lang_element("ToolOutputLog", "ja", entry.ToolOutputLogJa);
  out.lang_element("ToolOutputLog", "en", entry.ToolOutputLogEn);
  if (VersionExtInfo* ext = entry.ExtInfo; ext != nullptr) {
    out.open("extension");
    out.lang_element("module_name_with_id", "ja", ext->ModuleNameWithIdJa);
    out.lang_element("module_name_with_id", "en", ext->ModuleNameWithIdEn);
    for (int32_t i = 0; ext->Options != nullptr && i < ext->OptionCount; ++i) {
      OptionVersionEntry& option = ext->Options[i];
      out.open_with("option", "id", option.OptionID);
      out.element("ModuleStatus", option.ModuleStatus);
      out.element("Compare", option.Compare);
      out.element("CurrentVersion", option.CurrentVersion);
      out.element("ExVersion", option.ExVersion);
      out.element("ExExVersion", option.ExExVersion);
      out.close("option");
    }
    out.close("extension");
    if (writing) {
      // The writing pass consumes the list: each extension goes once it is written.
      std::free(ext->Options);
      std::free(ext);
      entry.ExtInfo = nullptr;
    }
  }
  out.close("Module");
}

void set_log_attachment(MPITbl* mpi, const ResInfo& res) {
  std::memset(mpi->ResFileName, 0, sizeof mpi->ResFileName);
  if (res.FileName[0] == '\0') return;
  std::snprintf(mpi->ResFileName, sizeof mpi->ResFileName, "%.*s%c%.*s",
                static_cast<int>(strnlen(g_QMAConfig.LogSavePath, QMA_LEN_PATH - 1)),
                g_QMAConfig.LogSavePath, qma::platform::kPathSeparator,
                static_cast<int>(strnlen(res.FileName, QMA_LEN_PATH - 1)), res.FileName);
}

}  // namespace

int QMA_BuildSendData(MPITbl* mpi, CMDTbl* cmd, int kind, int sizing, char* buffer,
                      uint32_t* size) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_BuildSendData() start.");
  if (mpi == nullptr || cmd == nullptr || size == nullptr || (sizing == 0 && buffer == nullptr)) {
    return 0;
  }
  bool writing = sizing == 0;
  Emitter out(!writing, buffer, writing ? *size : 0);
  ResInfo& res = cmd->ResInfo;

  char root[64];
  std::snprintf(root, sizeof root, "<QMAMessage MessageVersion=\"%.*s\">",
                static_cast<int>(strnlen(cmd->ReqInfo.MessageVersion, QMA_LEN_SHORT - 1)),
                cmd->ReqInfo.MessageVersion);
  out.text(root);
  out.element("InReplyTo", res.InReplyTo);
  out.element("CommandCode", res.CommandCode);

  int code = qma::manager_if::decimal_value(res.CommandCode, sizeof res.CommandCode);
  if (static_cast<unsigned int>(code) > 7u) {
    QMA_LogError(__func__, kSrc, __LINE__, "Unexpected command code.(CommandCode=%d)", code);
    return 0;
  }
  out.text("<QMAData>");
  switch (code) {
    case 0:
    case 1:
      emit_agent_information(out, res);
      if (code == 1 && res.ModuleList != nullptr) {
        for (int32_t i = 0; i < res.ModuleCount; ++i) emit_module(out, res.ModuleList[i], writing);
        if (writing) {
          std::free(res.ModuleList);
          res.ModuleList = nullptr;
          res.ModuleCount = 0;
        }
      }
      break;
    case 2:
    case 5:
    case 6:
      out.element("Status", res.Status);
      break;
    case 3:
      out.element("Status", res.Status);
      if (kind == 1) {
        out.open("Module");
        out.element("CurrentVersion", res.CurrentVersion);
        out.element("ExVersion", res.ExVersion);
        if (res.OptionEcho[0] != '\0') out.option_echo(res.OptionEcho);
        out.close("Module");
      } else if (res.OptionEcho[0] != '\0') {
        out.open("Module");
        out.option_echo(res.OptionEcho);
        out.close("Module");
      }
      out.lang_element("ToolOutputLog", "ja", res.ToolOutputLogJa);
      out.lang_element("ToolOutputLog", "en", res.ToolOutputLogEn);
      break;
    case 4:
      out.element("Status", res.Status);
      out.element("Progress", res.Progress);
      out.lang_element("ToolOutputLog", "ja", res.ToolOutputLogJa);
      out.lang_element("ToolOutputLog", "en", res.ToolOutputLogEn);
      if (res.OptionEcho[0] != '\0') {
        out.open("Module");
        out.option_echo(res.OptionEcho);
        out.close("Module");
      }
      break;
    case 7: {
      out.element("Status", res.Status);
      static const char kArchive[] = "QMAgentLog.zip";
      static const char kNone[] = "";
      if (res.FileName[0] != '\0') {
        out.element("FileName", kArchive);
      } else {
        out.element("FileName", kNone);
      }
      set_log_attachment(mpi, res);
      break;
    }
  }
  out.text("</QMAData>");
  out.text("</QMAMessage>");
  if (!writing) *size = static_cast<uint32_t>(out.total() + 1);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_BuildSendData() end.");
  return 1;
}

int QMA_MakeSendData(MPITbl* mpi, CMDTbl* cmd, int kind) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_MakeSendData() start.");
  if (mpi == nullptr || cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld] pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(mpi), qma::manager_if::pointer_number(cmd));
    return 0;
  }
  uint32_t size = 0;
  if (QMA_BuildSendData(mpi, cmd, kind, 1, nullptr, &size) == 0) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_BuildSendData error!");
    mpi->ResTextLength = 0;
    return 0;
  }
  char* text = static_cast<char*>(std::malloc(size));
  if (text == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "malloc error! sDataSize=[%d]", static_cast<int>(size));
    mpi->ResTextLength = 0;
    return 0;
  }
  std::memset(text, 0, size);
  std::free(mpi->ResText);
  mpi->ResText = text;
  if (QMA_BuildSendData(mpi, cmd, kind, 0, text, &size) == 0) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_BuildSendData error! pBinData=[%p]",
                 static_cast<void*>(text));
    mpi->ResTextLength = 0;
    std::free(text);
    mpi->ResText = nullptr;
    return 0;
  }
  mpi->ResTextLength = static_cast<uint32_t>(std::strlen(text));
  QMA_LogInfo(__func__, kSrc, __LINE__, "pBinData : %s", text);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_MakeSendData() end.");
  return 1;
}
