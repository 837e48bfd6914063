// Every message direction: a message with every member set is written and read back into a
// fresh object with equal members, and writing that object again gives the same bytes. The
// sample values carry markup characters, non-ASCII text and the bounds of each number type.
#include <gtest/gtest.h>

#include <string>

#include "DSMGetFileList_Request_sample.h"
#include "DSMGetFileList_Response_sample.h"
#include "DSMCopyFile_Request_sample.h"
#include "DSMCopyFile_Response_sample.h"
#include "DSMMoveFile_Request_sample.h"
#include "DSMMoveFile_Response_sample.h"
#include "DSMAddFile_Request_sample.h"
#include "DSMAddFile_Response_sample.h"
#include "DSMDeleteFile_Request_sample.h"
#include "DSMDeleteFile_Response_sample.h"
#include "DSMGetOperationList_Request_sample.h"
#include "DSMGetOperationList_Response_sample.h"
#include "DSMDetailsOperation_Request_sample.h"
#include "DSMDetailsOperation_Response_sample.h"
#include "DSMClearCompletedOperation_Request_sample.h"
#include "DSMClearCompletedOperation_Response_sample.h"
#include "DSMCancelOperation_Request_sample.h"
#include "DSMCancelOperation_Response_sample.h"
#include "DSMRetryOperation_Request_sample.h"
#include "DSMRetryOperation_Response_sample.h"
#include "DSMServerGetFileList_Request_sample.h"
#include "DSMServerGetFileList_Response_sample.h"
#include "DSMServerAddFile_Request_sample.h"
#include "DSMServerAddFile_Response_sample.h"
#include "DSMServerDeleteFile_Request_sample.h"
#include "DSMServerDeleteFile_Response_sample.h"
#include "DSMServerSetFileId_Request_sample.h"
#include "DSMServerSetFileId_Response_sample.h"
#include "NSRegisterService_Request_sample.h"
#include "NSRegisterService_Response_sample.h"
#include "NSFindService_Request_sample.h"
#include "NSFindService_Response_sample.h"
#include "MGMTCloseApplication_Request_sample.h"
#include "MGMTCloseApplication_Response_sample.h"
#include "SNMPSetValues_Request_sample.h"
#include "SNMPSetValues_Response_sample.h"
#include "SNMPTrap_Request_sample.h"
#include "SNMPTrap_Response_sample.h"
#include "MessageIO.h"
#include "tests/fakes/Bytes.h"

namespace {

using testing_bytes::hex;

template <class T, class F>
struct Direction {
  using Message = T;
  using Fill = F;
};

template <class D>
class RoundTrip : public testing::Test {};

using Directions = testing::Types<
    Direction<DSMGetFileList_Request::c_OrxRequest, DSMGetFileList_Request::sample::Filler>,
    Direction<DSMGetFileList_Response::c_OrxResponse, DSMGetFileList_Response::sample::Filler>,
    Direction<DSMCopyFile_Request::c_OrxRequest, DSMCopyFile_Request::sample::Filler>,
    Direction<DSMCopyFile_Response::c_OrxResponse, DSMCopyFile_Response::sample::Filler>,
    Direction<DSMMoveFile_Request::c_OrxRequest, DSMMoveFile_Request::sample::Filler>,
    Direction<DSMMoveFile_Response::c_OrxResponse, DSMMoveFile_Response::sample::Filler>,
    Direction<DSMAddFile_Request::c_OrxRequest, DSMAddFile_Request::sample::Filler>,
    Direction<DSMAddFile_Response::c_OrxResponse, DSMAddFile_Response::sample::Filler>,
    Direction<DSMDeleteFile_Request::c_OrxRequest, DSMDeleteFile_Request::sample::Filler>,
    Direction<DSMDeleteFile_Response::c_OrxResponse, DSMDeleteFile_Response::sample::Filler>,
    Direction<DSMGetOperationList_Request::c_OrxRequest, DSMGetOperationList_Request::sample::Filler>,
    Direction<DSMGetOperationList_Response::c_OrxResponse, DSMGetOperationList_Response::sample::Filler>,
    Direction<DSMDetailsOperation_Request::c_OrxRequest, DSMDetailsOperation_Request::sample::Filler>,
    Direction<DSMDetailsOperation_Response::c_OrxResponse, DSMDetailsOperation_Response::sample::Filler>,
    Direction<DSMClearCompletedOperation_Request::c_OrxRequest, DSMClearCompletedOperation_Request::sample::Filler>,
    Direction<DSMClearCompletedOperation_Response::c_OrxResponse, DSMClearCompletedOperation_Response::sample::Filler>,
    Direction<DSMCancelOperation_Request::c_OrxRequest, DSMCancelOperation_Request::sample::Filler>,
    Direction<DSMCancelOperation_Response::c_OrxResponse, DSMCancelOperation_Response::sample::Filler>,
    Direction<DSMRetryOperation_Request::c_OrxRequest, DSMRetryOperation_Request::sample::Filler>,
    Direction<DSMRetryOperation_Response::c_OrxResponse, DSMRetryOperation_Response::sample::Filler>,
    Direction<DSMServerGetFileList_Request::c_OrxRequest, DSMServerGetFileList_Request::sample::Filler>,
    Direction<DSMServerGetFileList_Response::c_OrxResponse, DSMServerGetFileList_Response::sample::Filler>,
    Direction<DSMServerAddFile_Request::c_OrxRequest, DSMServerAddFile_Request::sample::Filler>,
    Direction<DSMServerAddFile_Response::c_OrxResponse, DSMServerAddFile_Response::sample::Filler>,
    Direction<DSMServerDeleteFile_Request::c_OrxRequest, DSMServerDeleteFile_Request::sample::Filler>,
    Direction<DSMServerDeleteFile_Response::c_OrxResponse, DSMServerDeleteFile_Response::sample::Filler>,
    Direction<DSMServerSetFileId_Request::c_OrxRequest, DSMServerSetFileId_Request::sample::Filler>,
    Direction<DSMServerSetFileId_Response::c_OrxResponse, DSMServerSetFileId_Response::sample::Filler>,
    Direction<NSRegisterService_Request::c_OrxRequest, NSRegisterService_Request::sample::Filler>,
    Direction<NSRegisterService_Response::c_OrxResponse, NSRegisterService_Response::sample::Filler>,
    Direction<NSFindService_Request::c_OrxRequest, NSFindService_Request::sample::Filler>,
    Direction<NSFindService_Response::c_OrxResponse, NSFindService_Response::sample::Filler>,
    Direction<MGMTCloseApplication_Request::c_OrxRequest, MGMTCloseApplication_Request::sample::Filler>,
    Direction<MGMTCloseApplication_Response::c_OrxResponse, MGMTCloseApplication_Response::sample::Filler>,
    Direction<SNMPSetValues_Request::c_OrxRequest, SNMPSetValues_Request::sample::Filler>,
    Direction<SNMPSetValues_Response::c_OrxResponse, SNMPSetValues_Response::sample::Filler>,
    Direction<SNMPTrap_Request::c_OrxRequest, SNMPTrap_Request::sample::Filler>,
    Direction<SNMPTrap_Response::c_OrxResponse, SNMPTrap_Response::sample::Filler>>;
TYPED_TEST_SUITE(RoundTrip, Directions);

TYPED_TEST(RoundTrip, EveryMemberSurvives) {
  using Message = typename TypeParam::Message;
  for (int seed : {0, 1}) {
    SCOPED_TRACE(seed);
    Message original;
    typename TypeParam::Fill()(original, seed);
    const message_io::Written first = message_io::write(original);
    ASSERT_EQ(first.code, 0);
    Message copy;
    const message_io::Read read = message_io::read(copy, first.bytes);
    ASSERT_EQ(read.code, 0) << read.error << "\n" << hex(first.bytes);
    EXPECT_TRUE(copy == original) << hex(first.bytes);
    EXPECT_EQ(hex(message_io::write(copy).bytes), hex(first.bytes));
  }
}

TEST(Defaults, RequestsHoldTheirCommand) {
  struct Case {
    const char16_t* command;
    std::u16string (*held)();
  };
  const Case cases[] = {
      {u"DSMGetFileList", [] { return DSMGetFileList_Request::c_OrxRequest().get_command(); }},
      {u"DSMCopyFile", [] { return DSMCopyFile_Request::c_OrxRequest().get_command(); }},
      {u"DSMMoveFile", [] { return DSMMoveFile_Request::c_OrxRequest().get_command(); }},
      {u"DSMAddFile", [] { return DSMAddFile_Request::c_OrxRequest().get_command(); }},
      {u"DSMDeleteFile", [] { return DSMDeleteFile_Request::c_OrxRequest().get_command(); }},
      {u"DSMGetOperationList", [] { return DSMGetOperationList_Request::c_OrxRequest().get_command(); }},
      {u"DSMDetailsOperation", [] { return DSMDetailsOperation_Request::c_OrxRequest().get_command(); }},
      {u"DSMClearCompletedOperation", [] { return DSMClearCompletedOperation_Request::c_OrxRequest().get_command(); }},
      {u"DSMCancelOperation", [] { return DSMCancelOperation_Request::c_OrxRequest().get_command(); }},
      {u"DSMRetryOperation", [] { return DSMRetryOperation_Request::c_OrxRequest().get_command(); }},
      {u"DSMServerGetFileList", [] { return DSMServerGetFileList_Request::c_OrxRequest().get_command(); }},
      {u"DSMServerAddFile", [] { return DSMServerAddFile_Request::c_OrxRequest().get_command(); }},
      {u"DSMServerDeleteFile", [] { return DSMServerDeleteFile_Request::c_OrxRequest().get_command(); }},
      {u"DSMServerSetFileId", [] { return DSMServerSetFileId_Request::c_OrxRequest().get_command(); }},
      {u"NSRegisterService", [] { return NSRegisterService_Request::c_OrxRequest().get_command(); }},
      {u"NSFindService", [] { return NSFindService_Request::c_OrxRequest().get_command(); }},
      {u"MGMTCloseApplication", [] { return MGMTCloseApplication_Request::c_OrxRequest().get_command(); }},
      {u"SNMPSetValues", [] { return SNMPSetValues_Request::c_OrxRequest().get_command(); }},
      {u"SNMPTrap", [] { return SNMPTrap_Request::c_OrxRequest().get_command(); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.held(), c.command);
  }
}

TEST(Defaults, ResponsesStartAtResultZero) {
  struct Case {
    const char* command;
    int result;
    std::u16string details;
    const char16_t* expected;
  };
  const Case cases[] = {
      {"DSMGetFileList", DSMGetFileList_Response::c_OrxResponse().get_Result(), DSMGetFileList_Response::c_OrxResponse().get_Details(), u""},
      {"DSMCopyFile", DSMCopyFile_Response::c_OrxResponse().get_Result(), DSMCopyFile_Response::c_OrxResponse().get_Details(), u""},
      {"DSMMoveFile", DSMMoveFile_Response::c_OrxResponse().get_Result(), DSMMoveFile_Response::c_OrxResponse().get_Details(), u""},
      {"DSMAddFile", DSMAddFile_Response::c_OrxResponse().get_Result(), DSMAddFile_Response::c_OrxResponse().get_Details(), u""},
      {"DSMDeleteFile", DSMDeleteFile_Response::c_OrxResponse().get_Result(), DSMDeleteFile_Response::c_OrxResponse().get_Details(), u""},
      {"DSMGetOperationList", DSMGetOperationList_Response::c_OrxResponse().get_Result(), DSMGetOperationList_Response::c_OrxResponse().get_Details(), u""},
      {"DSMDetailsOperation", DSMDetailsOperation_Response::c_OrxResponse().get_Result(), DSMDetailsOperation_Response::c_OrxResponse().get_Details(), u""},
      {"DSMClearCompletedOperation", DSMClearCompletedOperation_Response::c_OrxResponse().get_Result(), DSMClearCompletedOperation_Response::c_OrxResponse().get_Details(), u""},
      {"DSMCancelOperation", DSMCancelOperation_Response::c_OrxResponse().get_Result(), DSMCancelOperation_Response::c_OrxResponse().get_Details(), u""},
      {"DSMRetryOperation", DSMRetryOperation_Response::c_OrxResponse().get_Result(), DSMRetryOperation_Response::c_OrxResponse().get_Details(), u""},
      {"DSMServerGetFileList", DSMServerGetFileList_Response::c_OrxResponse().get_Result(), DSMServerGetFileList_Response::c_OrxResponse().get_Details(), u""},
      {"DSMServerAddFile", DSMServerAddFile_Response::c_OrxResponse().get_Result(), DSMServerAddFile_Response::c_OrxResponse().get_Details(), u""},
      {"DSMServerDeleteFile", DSMServerDeleteFile_Response::c_OrxResponse().get_Result(), DSMServerDeleteFile_Response::c_OrxResponse().get_Details(), u""},
      {"DSMServerSetFileId", DSMServerSetFileId_Response::c_OrxResponse().get_Result(), DSMServerSetFileId_Response::c_OrxResponse().get_Details(), u""},
      {"NSRegisterService", NSRegisterService_Response::c_OrxResponse().get_Result(), NSRegisterService_Response::c_OrxResponse().get_Details(), u"OK"},
      {"NSFindService", NSFindService_Response::c_OrxResponse().get_Result(), NSFindService_Response::c_OrxResponse().get_Details(), u"OK"},
      {"MGMTCloseApplication", MGMTCloseApplication_Response::c_OrxResponse().get_Result(), MGMTCloseApplication_Response::c_OrxResponse().get_Details(), u"OK"},
      {"SNMPSetValues", SNMPSetValues_Response::c_OrxResponse().get_Result(), SNMPSetValues_Response::c_OrxResponse().get_Details(), u"OK"},
      {"SNMPTrap", SNMPTrap_Response::c_OrxResponse().get_Result(), SNMPTrap_Response::c_OrxResponse().get_Details(), u"OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.details, c.expected);
  }
}

}  // namespace
