// The accessors handlers rely on beyond get/set: the numeric operation Type and Status
// setters of the registry, growing lists by index, and deep copies.
#include <gtest/gtest.h>

#include <climits>

#include "DSMDetailsOperation_Response.h"
#include "DSMGetOperationList_Response.h"

namespace {

struct NumberCase {
  const char* why;
  int number;
  bool accepted;
  const char16_t* value;  // held afterwards; the earlier value when refused
};

template <class M>
void checkType(M& message) {
  const NumberCase cases[] = {
      {"below the Type range (a Status number)", 4, false, u"MOVE"},
      {"first Type", 5, true, u"ADD"},
      {"COPY", 6, true, u"COPY"},
      {"MOVE", 7, true, u"MOVE"},
      {"last Type", 8, true, u"DELETE"},
      {"above the range", 9, false, u"DELETE"},
      {"negative", -1, false, u"DELETE"},
      {"far above, no overflow", INT_MAX, false, u"DELETE"},
      {"far below, no overflow", INT_MIN, false, u"DELETE"},
  };
  message.set_Type(u"MOVE");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(message.set_Type(c.number), c.accepted);
    EXPECT_EQ(message.get_Type(), c.value);
  }
}

template <class M>
void checkStatus(M& message) {
  const NumberCase cases[] = {
      {"zero is below the range", 0, false, u""}, {"first Status", 1, true, u"IN_PROGRESS"},
      {"COMPLETED", 2, true, u"COMPLETED"},       {"FAILED", 3, true, u"FAILED"},
      {"last Status", 4, true, u"CANCELED"},      {"a Type number", 5, false, u"CANCELED"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(message.set_Status(c.number), c.accepted);
    EXPECT_EQ(message.get_Status(), c.value);
  }
}

TEST(Accessors, NumericTypeAndStatusSetters) {
  DSMDetailsOperation_Response::c_OrxResponse details;
  checkType(details);
  checkStatus(details);
  DSMGetOperationList_Response::c_OrxResponse list;
  checkType(list.item_Operation(0));
  checkStatus(list.item_Operation(0));
}

TEST(Accessors, RefusedNumberLeavesPresenceUnset) {
  DSMDetailsOperation_Response::c_OrxResponse details;
  EXPECT_FALSE(details.set_Status(9));
  EXPECT_FALSE(details.isset_Status());
  EXPECT_TRUE(details.set_Status(3));
  EXPECT_TRUE(details.isset_Status());
}

TEST(Accessors, ItemAtIndexGrowsWithDefaults) {
  DSMGetOperationList_Response::c_OrxResponse list;
  list.item_Operation(2).set_ID(9);
  ASSERT_EQ(list.size_Operation(), 3u);
  EXPECT_FALSE(list.get_Operation(0).isset_ID());
  EXPECT_EQ(list.get_Operation(2).get_ID(), 9u);
  (void)list.item_Operation(1);  // an existing index does not grow the list
  EXPECT_EQ(list.size_Operation(), 3u);
  list.append_Operation();
  EXPECT_EQ(list.size_Operation(), 4u);
}

TEST(Accessors, CopiesAreDeep) {
  DSMDetailsOperation_Response::c_OrxResponse original;
  original.item_File(0).set_FileName(u"a");
  DSMDetailsOperation_Response::c_OrxResponse copy = original;
  copy.item_File(0).set_FileName(u"b");
  EXPECT_EQ(original.get_File(0).get_FileName(), u"a");
  EXPECT_FALSE(copy == original);
  copy = original;
  EXPECT_TRUE(copy == original);
}

}  // namespace
