// Every message direction: a message with every member set is written and read back into a
// fresh object with equal members, and writing that object again gives the same bytes. The
// sample values carry markup characters, non-ASCII text and the bounds of each number type.
#include <gtest/gtest.h>

#include <string>

#include "DSMAddFile_Request_sample.h"
#include "DSMAddFile_Response_sample.h"
#include "DSMCancelOperation_Request_sample.h"
#include "DSMCancelOperation_Response_sample.h"
#include "DSMClearCompletedOperation_Request_sample.h"
#include "DSMClearCompletedOperation_Response_sample.h"
#include "DSMCopyFile_Request_sample.h"
#include "DSMCopyFile_Response_sample.h"
#include "DSMDeleteFile_Request_sample.h"
#include "DSMDeleteFile_Response_sample.h"
#include "DSMDetailsOperation_Request_sample.h"
#include "DSMDetailsOperation_Response_sample.h"
#include "DSMGetFileList_Request_sample.h"
#include "DSMGetFileList_Response_sample.h"
#include "DSMGetOperationList_Request_sample.h"
#include "DSMGetOperationList_Response_sample.h"
#include "DSMMoveFile_Request_sample.h"
#include "DSMMoveFile_Response_sample.h"
#include "DSMRetryOperation_Request_sample.h"
#include "DSMRetryOperation_Response_sample.h"
#include "DSMServerAddFile_Request_sample.h"
#include "DSMServerAddFile_Response_sample.h"
#include "DSMServerDeleteFile_Request_sample.h"
#include "DSMServerDeleteFile_Response_sample.h"
#include "DSMServerGetFileList_Request_sample.h"
#include "DSMServerGetFileList_Response_sample.h"
#include "DSMServerSetFileId_Request_sample.h"
#include "DSMServerSetFileId_Response_sample.h"
#include "MGMTCloseApplication_Request_sample.h"
#include "MGMTCloseApplication_Response_sample.h"
#include "MessageIO.h"
#include "NSFindService_Request_sample.h"
#include "NSFindService_Response_sample.h"
#include "NSRegisterService_Request_sample.h"
#include "NSRegisterService_Response_sample.h"
#include "SNMPSetValues_Request_sample.h"
#include "SNMPSetValues_Response_sample.h"
#include "SNMPTrap_Request_sample.h"
#include "SNMPTrap_Response_sample.h"
#include "tests/fakes/Bytes.h"

namespace {

using testing_bytes::hex;

template <class T, class F>
struct Direction {
  using Message = T;
  using Fill = F;
};

// The request and the response direction of one command.
#define BOTH(cmd)                                                        \
  Direction<cmd##_Request::c_OrxRequest, cmd##_Request::sample::Filler>, \
      Direction<cmd##_Response::c_OrxResponse, cmd##_Response::sample::Filler>

template <class D>
class RoundTrip : public testing::Test {};

using Directions =
    testing::Types<BOTH(DSMGetFileList), BOTH(DSMCopyFile), BOTH(DSMMoveFile), BOTH(DSMAddFile),
                   BOTH(DSMDeleteFile), BOTH(DSMGetOperationList), BOTH(DSMDetailsOperation),
                   BOTH(DSMClearCompletedOperation), BOTH(DSMCancelOperation),
                   BOTH(DSMRetryOperation), BOTH(DSMServerGetFileList), BOTH(DSMServerAddFile),
                   BOTH(DSMServerDeleteFile), BOTH(DSMServerSetFileId), BOTH(NSRegisterService),
                   BOTH(NSFindService), BOTH(MGMTCloseApplication), BOTH(SNMPSetValues),
                   BOTH(SNMPTrap)>;
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

// What a fresh message writes without being set: a request its command (taken from its own
// schema, so a schema whose fixed command differs from its file shows here), a response result 0
// and the Details its family starts with.
TEST(Defaults, RequestsHoldTheirCommandResponsesResultZero) {
  struct Case {
    const char16_t* command;
    std::u16string held;
    int result;
    std::u16string details;
    const char16_t* expected;
  };
#define BOTH_DEFAULTS(cmd, details)                            \
  {                                                            \
    u## #cmd, cmd##_Request::c_OrxRequest().get_command(),     \
        cmd##_Response::c_OrxResponse().get_Result(),          \
        cmd##_Response::c_OrxResponse().get_Details(), details \
  }
  const Case cases[] = {
      BOTH_DEFAULTS(DSMGetFileList, u""),
      BOTH_DEFAULTS(DSMCopyFile, u""),
      BOTH_DEFAULTS(DSMMoveFile, u""),
      BOTH_DEFAULTS(DSMAddFile, u""),
      BOTH_DEFAULTS(DSMDeleteFile, u""),
      BOTH_DEFAULTS(DSMGetOperationList, u""),
      BOTH_DEFAULTS(DSMDetailsOperation, u""),
      BOTH_DEFAULTS(DSMClearCompletedOperation, u""),
      BOTH_DEFAULTS(DSMCancelOperation, u""),
      BOTH_DEFAULTS(DSMRetryOperation, u""),
      BOTH_DEFAULTS(DSMServerGetFileList, u""),
      BOTH_DEFAULTS(DSMServerAddFile, u""),
      BOTH_DEFAULTS(DSMServerDeleteFile, u""),
      BOTH_DEFAULTS(DSMServerSetFileId, u""),
      BOTH_DEFAULTS(NSRegisterService, u"OK"),
      BOTH_DEFAULTS(NSFindService, u"OK"),
      BOTH_DEFAULTS(MGMTCloseApplication, u"OK"),
      BOTH_DEFAULTS(SNMPSetValues, u"OK"),
      BOTH_DEFAULTS(SNMPTrap, u"OK"),
  };
#undef BOTH_DEFAULTS
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(c.held, c.command);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.details, c.expected);
  }
}

}  // namespace
