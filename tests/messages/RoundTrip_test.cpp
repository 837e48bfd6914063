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

TEST(Defaults, RequestsHoldTheirCommand) {
  struct Case {
    const char16_t* command;
    std::u16string held;
  };
#define REQUEST(cmd) \
  { u## #cmd, cmd##_Request::c_OrxRequest().get_command() }
  const Case cases[] = {
      REQUEST(DSMGetFileList),
      REQUEST(DSMCopyFile),
      REQUEST(DSMMoveFile),
      REQUEST(DSMAddFile),
      REQUEST(DSMDeleteFile),
      REQUEST(DSMGetOperationList),
      REQUEST(DSMDetailsOperation),
      REQUEST(DSMClearCompletedOperation),
      REQUEST(DSMCancelOperation),
      REQUEST(DSMRetryOperation),
      REQUEST(DSMServerGetFileList),
      REQUEST(DSMServerAddFile),
      REQUEST(DSMServerDeleteFile),
      REQUEST(DSMServerSetFileId),
      REQUEST(NSRegisterService),
      REQUEST(NSFindService),
      REQUEST(MGMTCloseApplication),
      REQUEST(SNMPSetValues),
      REQUEST(SNMPTrap),
  };
#undef REQUEST
  for (const auto& c : cases) EXPECT_EQ(c.held, c.command);
}

TEST(Defaults, ResponsesStartAtResultZero) {
  struct Case {
    const char* command;
    int result;
    std::u16string details;
    const char16_t* expected;
  };
#define RESPONSE(cmd, details)                                 \
  {                                                            \
#cmd, cmd##_Response::c_OrxResponse().get_Result(),        \
        cmd##_Response::c_OrxResponse().get_Details(), details \
  }
  const Case cases[] = {
      RESPONSE(DSMGetFileList, u""),
      RESPONSE(DSMCopyFile, u""),
      RESPONSE(DSMMoveFile, u""),
      RESPONSE(DSMAddFile, u""),
      RESPONSE(DSMDeleteFile, u""),
      RESPONSE(DSMGetOperationList, u""),
      RESPONSE(DSMDetailsOperation, u""),
      RESPONSE(DSMClearCompletedOperation, u""),
      RESPONSE(DSMCancelOperation, u""),
      RESPONSE(DSMRetryOperation, u""),
      RESPONSE(DSMServerGetFileList, u""),
      RESPONSE(DSMServerAddFile, u""),
      RESPONSE(DSMServerDeleteFile, u""),
      RESPONSE(DSMServerSetFileId, u""),
      RESPONSE(NSRegisterService, u"OK"),
      RESPONSE(NSFindService, u"OK"),
      RESPONSE(MGMTCloseApplication, u"OK"),
      RESPONSE(SNMPSetValues, u"OK"),
      RESPONSE(SNMPTrap, u"OK"),
  };
#undef RESPONSE
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.details, c.expected);
  }
}

}  // namespace
