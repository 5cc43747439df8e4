#include "net/protocols/contentcoding.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "memstream.h"

using namespace yux::net;
using yux::test::MemStream;

namespace {

// Test codings that leave a mark, so the order of undoing shows.
class THttpContentCodingUpper : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  std::string ClassName() const override { return "THttpContentCodingUpper"; }
  void WriteBuffer(const void* data, int len) override {
    std::string s(static_cast<const char*>(data), static_cast<std::size_t>(len));
    std::transform(s.begin(), s.end(), s.begin(), ::toupper);
    FOutputWriteBuffer(s.data(), static_cast<int>(s.size()));
  }
  void Complete() override { FOutputWriteBuffer("<U>", 3); }
};

class THttpContentCodingReverse : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  std::string ClassName() const override { return "THttpContentCodingReverse"; }
  // Buffers everything and emits it reversed at the end.
  void WriteBuffer(const void* data, int len) override {
    held_.append(static_cast<const char*>(data), static_cast<std::size_t>(len));
  }
  void Complete() override {
    std::string r(held_.rbegin(), held_.rend());
    r += "<R>";
    FOutputWriteBuffer(r.data(), static_cast<int>(r.size()));
  }

 private:
  std::string held_;
};

class TNamelessCoding : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  std::string ClassName() const override { return "TNamelessCoding"; }
};

struct Client {
  MemStream received;
  TStream* rcvdStream = &received;
  std::string documentData;
  THttpContCodHandler handler{&rcvdStream, [this](const void* d, int n) {
                                documentData.append(static_cast<const char*>(d), static_cast<std::size_t>(n));
                              }};
};

void RegisterTestCodings() {
  static bool done = false;
  if (done) return;
  done = true;
  TContCodingsList::Instance().Register<THttpContentCodingUpper>(0.5f);
  TContCodingsList::Instance().Register<THttpContentCodingReverse>(0.25f);
}

}  // namespace

TEST(ContentCoding, BuiltInCodingsSendNoAcceptEncoding) {
  // A fresh registry holds identity and "*" with quality 0 (the test
  // codings, when registered, come after them).
  const auto& classes = TContCodingsList::Instance().Classes();
  ASSERT_GE(classes.size(), 2u);
  EXPECT_EQ(classes[0].Coding, "identity");
  EXPECT_EQ(classes[1].Coding, "*");
  Client c;
  EXPECT_EQ(c.handler.AcceptEncodingText(), "");  // not enabled
  c.handler.SetEnabled(true);
  for (std::size_t i = 2; i < c.handler.Items().size(); ++i) c.handler.SetItemEnabled(i, false);
  EXPECT_EQ(c.handler.AcceptEncodingText(), "");  // quality 0 everywhere
  c.handler.SetUseQuality(true);
  EXPECT_EQ(c.handler.AcceptEncodingText(), "identity;q=0, *;q=0");
}

TEST(ContentCoding, AcceptEncodingWithQualities) {
  RegisterTestCodings();
  Client c;
  c.handler.SetEnabled(true);
  EXPECT_EQ(c.handler.AcceptEncodingText(), "Upper, Reverse");
  c.handler.SetUseQuality(true);
  EXPECT_EQ(c.handler.AcceptEncodingText(), "identity;q=0, *;q=0, Upper;q=0.5, Reverse;q=0.25");
  c.handler.SetItemQuality(2, 0.3337f);
  c.handler.SetItemEnabled(0, false);
  c.handler.SetItemEnabled(1, false);
  EXPECT_EQ(c.handler.AcceptEncodingText(), "Upper;q=0.334, Reverse;q=0.25");
  // With one enabled item no q-values are written.
  c.handler.SetItemEnabled(3, false);
  EXPECT_EQ(c.handler.AcceptEncodingText(), "Upper");
}

TEST(ContentCoding, DecodersUndoInReverseOrder) {
  RegisterTestCodings();
  Client c;
  c.handler.SetEnabled(true);
  // Encoded as "reverse" first, then "upper": undone upper first.
  ASSERT_TRUE(c.handler.SetupDecoders("reverse, UPPER"));
  EXPECT_EQ(c.handler.DecoderCount(), 2u);
  c.handler.WriteBuffer("abc", 3);
  c.handler.WriteBuffer("de", 2);
  EXPECT_EQ(c.documentData, "");  // held by the reversing decoder
  c.handler.FinishDecoding();
  EXPECT_EQ(c.documentData, ">U<EDCBA<R>");
  EXPECT_EQ(c.received.data(), c.documentData);
}

TEST(ContentCoding, IdentityAndUnknownCodings) {
  Client c;
  c.handler.SetEnabled(true);
  ASSERT_TRUE(c.handler.SetupDecoders("identity"));
  EXPECT_EQ(c.handler.DecoderCount(), 1u);
  c.handler.WriteBuffer("plain", 5);
  EXPECT_EQ(c.documentData, "plain");

  // An unregistered coding: setup fails and the body passes undecoded.
  Client u;
  u.handler.SetEnabled(true);
  EXPECT_FALSE(u.handler.SetupDecoders("identity, br"));
  EXPECT_EQ(u.handler.DecoderCount(), 0u);
  u.handler.WriteBuffer("\x1f\x8b raw", 6);
  EXPECT_EQ(u.documentData, std::string("\x1f\x8b raw", 6));

  // Not enabled: nothing is decoded whatever the answer says.
  Client off;
  EXPECT_TRUE(off.handler.SetupDecoders("identity"));
  EXPECT_EQ(off.handler.DecoderCount(), 0u);

  // Without a receive stream only the document-data trigger sees the data.
  Client nostream;
  nostream.rcvdStream = nullptr;
  nostream.handler.WriteBuffer("x", 1);
  EXPECT_EQ(nostream.documentData, "x");
  EXPECT_EQ(nostream.received.data(), "");
}

TEST(ContentCoding, CodingNameFromClassName) {
  THttpContentCodingUpper upper(nullptr);
  EXPECT_EQ(upper.GetCoding(), "Upper");
  TNamelessCoding nameless(nullptr);
  try {
    nameless.GetCoding();
    FAIL() << "expected an exception";
  } catch (const EHttpContentCodingException& e) {
    EXPECT_STREQ(e.what(), "GetCoding must be overridden in TNamelessCoding");
  }
}

TEST(ContentCoding, OverlongCodingListIsRefused) {
  RegisterTestCodings();
  auto list = [](const std::string& item, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + item;
    return s;
  };
  std::string upperMarks;  // each of 16 upper decoders marks its end
  for (int i = 0; i < 16; ++i) upperMarks += "<U>";
  const struct {
    std::string header;
    bool known;
    std::size_t decoders;
    std::string document;
  } cases[] = {
      {list("*", 16), true, 16, "abc"},
      {list("upper", 16), true, 16, "ABC" + upperMarks},
      {list("*", 17), false, 0, "abc"},
      {list("*", 30000), false, 0, "abc"},  // what one long header line holds
      {list("upper", 30000), false, 0, "abc"},
      {",,identity," + std::string(100, ' ') + ",,", true, 1, "abc"},  // empty items do not count
  };
  for (const auto& c : cases) {
    const std::string what = c.header.substr(0, 40) + " (" + std::to_string(c.header.size()) + " chars)";
    Client client;
    client.handler.SetEnabled(true);
    EXPECT_EQ(client.handler.SetupDecoders(c.header), c.known) << what;
    EXPECT_EQ(client.handler.DecoderCount(), c.decoders) << what;
    client.handler.WriteBuffer("ab", 2);
    client.handler.WriteBuffer("c", 1);
    client.handler.FinishDecoding();
    EXPECT_EQ(client.documentData, c.document) << what;
    EXPECT_EQ(client.received.data(), c.document) << what;
  }
}
