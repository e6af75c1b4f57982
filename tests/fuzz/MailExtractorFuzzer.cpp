// Opens the input as e-mail with GMime, as a single message and as an mbox, through the shared
// container-reader checks.

#include "engine/MailExtractor.hpp"
#include "tests/fuzz/ContainerReaderHarness.hpp"
#include "tests/fuzz/FuzzEntry.hpp"

namespace {

using norvid::fuzzing::ContainerReaderHarness;

class MailHarness {
 public:
  void run(const std::string& bytes) {
    message_.run(bytes);
    mbox_.run(bytes);
  }

 private:
  ContainerReaderHarness message_{"mail", "message.eml",
                                  [](const auto& input, norvid::MemberWriter& writer) {
                                    norvid::MailExtractor::extract(input, false, writer);
                                  }};
  ContainerReaderHarness mbox_{"mbox", "inbox",
                               [](const auto& input, norvid::MemberWriter& writer) {
                                 norvid::MailExtractor::extract(input, true, writer);
                               }};
};

}  // namespace

NORVID_FUZZ_HARNESS(MailHarness)
