// Fuzz target over the generated message classes: arbitrary bytes are read by every request
// and response class (requests come from any HTTP peer, responses from sibling services).
// Whatever a class accepts must survive writing and reading again unchanged, so a value the
// reader lets through but the writer cannot reproduce is found here too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "DSMGetFileList_Request.h"
#include "DSMGetFileList_Response.h"
#include "DSMCopyFile_Request.h"
#include "DSMCopyFile_Response.h"
#include "DSMMoveFile_Request.h"
#include "DSMMoveFile_Response.h"
#include "DSMAddFile_Request.h"
#include "DSMAddFile_Response.h"
#include "DSMDeleteFile_Request.h"
#include "DSMDeleteFile_Response.h"
#include "DSMGetOperationList_Request.h"
#include "DSMGetOperationList_Response.h"
#include "DSMDetailsOperation_Request.h"
#include "DSMDetailsOperation_Response.h"
#include "DSMClearCompletedOperation_Request.h"
#include "DSMClearCompletedOperation_Response.h"
#include "DSMCancelOperation_Request.h"
#include "DSMCancelOperation_Response.h"
#include "DSMRetryOperation_Request.h"
#include "DSMRetryOperation_Response.h"
#include "DSMServerGetFileList_Request.h"
#include "DSMServerGetFileList_Response.h"
#include "DSMServerAddFile_Request.h"
#include "DSMServerAddFile_Response.h"
#include "DSMServerDeleteFile_Request.h"
#include "DSMServerDeleteFile_Response.h"
#include "DSMServerSetFileId_Request.h"
#include "DSMServerSetFileId_Response.h"
#include "NSRegisterService_Request.h"
#include "NSRegisterService_Response.h"
#include "NSFindService_Request.h"
#include "NSFindService_Response.h"
#include "MGMTCloseApplication_Request.h"
#include "MGMTCloseApplication_Response.h"
#include "SNMPSetValues_Request.h"
#include "SNMPSetValues_Response.h"
#include "SNMPTrap_Request.h"
#include "SNMPTrap_Response.h"
#include "lmx/lmx_read.h"
#include "lmx/lmx_reader.h"
#include "lmx/lmx_writer.h"

namespace {

template <class T>
int readInto(T& message, const void* data, std::size_t size) {
  lmx::c_read_memory source(data, size);
  lmx::c_xml_reader reader(source);
  // As a packet reads a body: the message, then nothing but what may follow a document's root.
  if (const int code = message.read(reader); code != 0) return code;
  return reader.end_of_document();
}

template <class T>
std::string written(const T& message) {
  std::ostringstream out;
  lmx::c_xml_writer writer(out, "\t", "\n");
  if (message.write(writer) != 0) std::abort();
  return out.str();
}

template <class T>
void readAndCompare(const std::uint8_t* data, std::size_t size) {
  T first;
  if (readInto(first, data, size) != 0) return;
  const std::string bytes = written(first);
  T second;
  if (readInto(second, bytes.data(), bytes.size()) != 0) std::abort();
  if (!(second == first)) std::abort();
  if (written(second) != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readAndCompare<DSMGetFileList_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMGetFileList_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMCopyFile_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMCopyFile_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMMoveFile_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMMoveFile_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMAddFile_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMAddFile_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMDeleteFile_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMDeleteFile_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMGetOperationList_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMGetOperationList_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMDetailsOperation_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMDetailsOperation_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMClearCompletedOperation_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMClearCompletedOperation_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMCancelOperation_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMCancelOperation_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMRetryOperation_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMRetryOperation_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMServerGetFileList_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMServerGetFileList_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMServerAddFile_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMServerAddFile_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMServerDeleteFile_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMServerDeleteFile_Response::c_OrxResponse>(data, size);
  readAndCompare<DSMServerSetFileId_Request::c_OrxRequest>(data, size);
  readAndCompare<DSMServerSetFileId_Response::c_OrxResponse>(data, size);
  readAndCompare<NSRegisterService_Request::c_OrxRequest>(data, size);
  readAndCompare<NSRegisterService_Response::c_OrxResponse>(data, size);
  readAndCompare<NSFindService_Request::c_OrxRequest>(data, size);
  readAndCompare<NSFindService_Response::c_OrxResponse>(data, size);
  readAndCompare<MGMTCloseApplication_Request::c_OrxRequest>(data, size);
  readAndCompare<MGMTCloseApplication_Response::c_OrxResponse>(data, size);
  readAndCompare<SNMPSetValues_Request::c_OrxRequest>(data, size);
  readAndCompare<SNMPSetValues_Response::c_OrxResponse>(data, size);
  readAndCompare<SNMPTrap_Request::c_OrxRequest>(data, size);
  readAndCompare<SNMPTrap_Response::c_OrxResponse>(data, size);
  return 0;
}
