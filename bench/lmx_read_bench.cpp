// Reads a 1 MB UTF-8 document of repeated small elements (a long operation list) through the
// reader's event loop, the way message classes read it, and parses the same bytes with
// Xerces-C's DOM parser; prints MB/s of both and their ratio. Best of several runs each, so a
// busy machine disturbs the numbers less.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "lmx/lmx_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string make_document(std::size_t at_least) {
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxResponse>\n\t<Result>0</Result>\n"
      "\t<Details></Details>\n";
  for (int id = 0; doc.size() < at_least; ++id) {
    doc += "\t<Operation>\n\t\t<ID>" + std::to_string(id) +
           "</ID>\n\t\t<Type>add</Type>\n\t\t<Status>completed</Status>\n"
           "\t\t<Source>192.168.0." +
           std::to_string(id % 250) +
           "</Source>\n\t\t<Progress>100</Progress>\n\t\t<Details>font &amp; macro</Details>\n"
           "\t</Operation>\n";
  }
  return doc + "</OrxResponse>\n";
}

enum { kRoot = lmx::TOK_USER };
enum { kResult = lmx::TOK_USER, kDetails, kOperation };
enum { kId = lmx::TOK_USER, kType, kStatus, kSource, kProgress, kOpDetails };
const lmx::s_name_entry kRootNames[] = {{lmx::NS_NONE, "OrxResponse", kRoot}, {0, nullptr, 0}};
const lmx::s_name_entry kTopNames[] = {{lmx::NS_NONE, "Result", kResult},
                                       {lmx::NS_NONE, "Details", kDetails},
                                       {lmx::NS_NONE, "Operation", kOperation},
                                       {0, nullptr, 0}};
const lmx::s_name_entry kOperationNames[] = {{lmx::NS_NONE, "ID", kId},
                                             {lmx::NS_NONE, "Type", kType},
                                             {lmx::NS_NONE, "Status", kStatus},
                                             {lmx::NS_NONE, "Source", kSource},
                                             {lmx::NS_NONE, "Progress", kProgress},
                                             {lmx::NS_NONE, "Details", kOpDetails},
                                             {0, nullptr, 0}};

// Returns the number of leaf values read, or -1 on an error.
long read_with_lmx(const std::string& doc) {
  lmx::c_read_memory source(doc.data(), doc.size());
  lmx::c_xml_reader r(source);
  std::string name;
  std::string value;
  bool empty = false;
  int error = 0;
  long values = 0;
  if (r.next_element(kRootNames, error, name) != kRoot) return -1;
  for (int token = r.next_element(kTopNames, error, name); error == 0;
       token = r.next_element(kTopNames, error, name)) {
    if (token == lmx::TOK_END_TAG) return values;
    if (token == kOperation) {
      for (int t = r.next_element(kOperationNames, error, name); t >= kId;
           t = r.next_element(kOperationNames, error, name)) {
        const lmx::elmx_whitespace mode =
            (t == kId || t == kProgress) ? lmx::EXWS_COLLAPSE : lmx::EXWS_PRESERVE;
        if (r.simple_element_value(name, mode, value, empty) != 0) return -1;
        ++values;
      }
      if (error != 0 || r.token() != lmx::TOK_END_TAG) return -1;
      continue;
    }
    if (token != kResult && token != kDetails) return -1;
    if (r.simple_element_value(name, lmx::EXWS_PRESERVE, value, empty) != 0) return -1;
    ++values;
  }
  return -1;
}

bool parse_with_xerces(const std::string& doc) {
  xercesc::XercesDOMParser parser;
  xercesc::MemBufInputSource input(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(),
                                   "bench");
  parser.parse(input);
  return parser.getErrorCount() == 0 && parser.getDocument() != nullptr &&
         parser.getDocument()->getDocumentElement() != nullptr;
}

template <class F>
double best_seconds(int runs, F&& f) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (!f()) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  const std::string doc = make_document(1024 * 1024);
  const double mb = static_cast<double>(doc.size()) / (1024.0 * 1024.0);
  const long values = read_with_lmx(doc);
  if (values <= 0) {
    std::fprintf(stderr, "lmx reader failed on the benchmark document\n");
    return 1;
  }
  xercesc::XMLPlatformUtils::Initialize();
  const int runs = 15;
  const double lmx_s = best_seconds(runs, [&] { return read_with_lmx(doc) == values; });
  const double xerces_s = best_seconds(runs, [&] { return parse_with_xerces(doc); });
  xercesc::XMLPlatformUtils::Terminate();
  if (lmx_s <= 0 || xerces_s <= 0) {
    std::fprintf(stderr, "a parser failed on the benchmark document\n");
    return 1;
  }
  std::printf("document: %.2f MB, %ld leaf values\n", mb, values);
  std::printf("lmx reader event loop: %8.1f MB/s\n", mb / lmx_s);
  std::printf("Xerces-C DOM parse:    %8.1f MB/s\n", mb / xerces_s);
  std::printf("ratio lmx/Xerces:      %8.2fx\n", xerces_s / lmx_s);
  return 0;
}
