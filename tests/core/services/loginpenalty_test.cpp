// The guessing penalty against patient guessers and guessers with many
// addresses, on a clock of the test's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/services/webpanel.h"

using namespace yux;

namespace {

constexpr std::int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;

// The address's penalty as the next failure leaves it, or 0 when that
// failure is still a free one.
std::int64_t PenaltyAfterAFailure(TLoginPenalty& penalty, const std::string& peer) {
  EXPECT_EQ(penalty.Check(peer, [] { return false; }), TLoginPenalty::lpWrong);
  return penalty.PenaltyLeftMs(peer);
}

std::string Dotted(int a, int b, int c, int d) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

}  // namespace

TEST(LoginPenalty, TheLoopbackNetworkIsOneClient) {
  const struct {
    const char* peer;
    const char* client;
  } cases[] = {{"127.0.0.1", "127.0.0.0/8"},       {"127.255.3.4", "127.0.0.0/8"},
               {"::ffff:127.0.0.9", "127.0.0.0/8"}, {"::FFFF:127.1.2.3", "127.0.0.0/8"},
               {"128.0.0.1", "128.0.0.1"},          {"10.127.0.1", "10.127.0.1"},
               {"::1", "::1"},                      {"192.168.1.127", "192.168.1.127"}};
  for (const auto& c : cases) EXPECT_EQ(LoginClientOf(c.peer), c.client) << c.peer;
}

// Silence after a penalty earns nothing: the next wrong password doubles
// the penalty at once, for a day after the last failure.  Only a whole day
// without a failure gives the address its free checks again.
TEST(LoginPenalty, WaitingEarnsNoFreeChecksForADay) {
  const struct {
    std::int64_t silence;
    std::int64_t penalty;  // what the next failure starts
  } cases[] = {{kMinute, 2000},
               {61 * kSecond, 2000},
               {10 * kMinute, 2000},
               {kHour, 2000},
               {kForgetLoginAddressMs - 1, 2000},
               {kForgetLoginAddressMs, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.silence);
    std::int64_t now = 1000;
    TLoginPenalty penalty([&] { return now; });
    for (int i = 1; i < kFreeLoginFailures; ++i) EXPECT_EQ(PenaltyAfterAFailure(penalty, "10.0.0.1"), 0);
    EXPECT_EQ(PenaltyAfterAFailure(penalty, "10.0.0.1"), kFirstLoginPenaltyMs);
    now += c.silence;
    EXPECT_EQ(PenaltyAfterAFailure(penalty, "10.0.0.1"), c.penalty);
  }
}

// A guesser that sends a wrong password whenever it may, and guessers that
// pause after each penalty: none gets more than about one check a minute
// over an hour (3 free ones, then penalties of 1, 2, 4 ... 32 s, then one
// a minute: 67).
TEST(LoginPenalty, AnHourOfGuessingGivesAboutOneCheckAMinuteHoweverItIsPaced) {
  for (const std::int64_t pause : {std::int64_t(0), 61 * kSecond, 10 * kMinute, kHour}) {
    SCOPED_TRACE(pause);
    std::int64_t now = 0;
    TLoginPenalty penalty([&] { return now; });
    int checks = 0, refused = 0;
    while (now < kHour) {
      const auto verdict = penalty.Check("10.0.0.1", [&] {
        ++checks;
        return false;
      });
      if (verdict == TLoginPenalty::lpRefused) ++refused;
      if (const std::int64_t left = penalty.PenaltyLeftMs("10.0.0.1"); left > 0) now += left + pause;
    }
    EXPECT_EQ(refused, 0);
    EXPECT_LE(checks, 68);
    EXPECT_GE(checks, pause == 0 ? 60 : 3);  // the guesser did guess
  }
}

// 5,000 addresses of the loopback network, each with one wrong password,
// get no more checks than one address sending as many at the same times;
// and an address penalised before them is still penalised after them.
TEST(LoginPenalty, ManyLoopbackAddressesGetNoMoreChecksThanOne) {
  std::int64_t now = 0;
  TLoginPenalty penalty([&] { return now; }), one([&] { return now; });
  for (int i = 0; i < kFreeLoginFailures; ++i) PenaltyAfterAFailure(penalty, "10.0.0.1");
  int checks = 0, checksOfOne = 0;
  for (int i = 0; i < 5000; ++i) {
    now += 10;
    penalty.Check(Dotted(127, i / 65536, i / 256 % 256, i % 256), [&] {
      ++checks;
      return false;
    });
    one.Check("10.9.9.9", [&] {
      ++checksOfOne;
      return false;
    });
  }
  EXPECT_LE(checks, checksOfOne);
  EXPECT_EQ(penalty.Addresses(), 2u);
  // Still penalised: once its penalty has run out, its next failure
  // doubles it.
  now += kMaxLoginPenaltyMs;
  EXPECT_EQ(PenaltyAfterAFailure(penalty, "10.0.0.1"), 2 * kFirstLoginPenaltyMs);
}

// The table is bounded.  When it is full, newcomers take the places of
// addresses that are not penalised; when every remembered address is
// penalised, the newcomers share one penalty until room is made.
TEST(LoginPenalty, AFullTableKeepsItsPenalisedAddresses) {
  std::int64_t now = 0;
  TLoginPenalty penalty([&] { return now; });
  const auto wrong = [] { return false; };
  const auto right = [] { return true; };
  // One penalised address among others with a single failure each; then
  // more newcomers than the table holds.
  for (int i = 0; i < kFreeLoginFailures; ++i) PenaltyAfterAFailure(penalty, "10.0.0.1");
  for (std::size_t i = 1; i < kMaxLoginAddresses + 5000; ++i) {
    ++now;
    penalty.Check(Dotted(10, 1, int(i / 256), int(i % 256)), wrong);
  }
  EXPECT_EQ(penalty.Addresses(), kMaxLoginAddresses);
  now += kMinute;
  EXPECT_EQ(PenaltyAfterAFailure(penalty, "10.0.0.1"), 2 * kFirstLoginPenaltyMs);

  // Every place taken by a penalised address.
  TLoginPenalty full([&] { return now; });
  for (std::size_t i = 0; i < kMaxLoginAddresses; ++i)
    for (int k = 0; k < kFreeLoginFailures; ++k) full.Check(Dotted(10, 2, int(i / 256), int(i % 256)), wrong);
  ASSERT_EQ(full.Addresses(), kMaxLoginAddresses);
  int checks = 0;
  for (int i = 0; i < 5000; ++i)
    full.Check(Dotted(10, 3, i / 256, i % 256), [&] {
      ++checks;
      return false;
    });
  EXPECT_EQ(checks, kFreeLoginFailures);
  EXPECT_EQ(full.PenaltyLeftMs("10.4.0.1"), kFirstLoginPenaltyMs);
  EXPECT_EQ(full.Check("10.4.0.1", right), TLoginPenalty::lpRefused);
  EXPECT_EQ(full.PenaltyLeftMs("10.2.0.0"), kFirstLoginPenaltyMs);
  // The right password of a remembered address makes room: the next
  // newcomer has free checks of its own.
  now += kFirstLoginPenaltyMs;
  EXPECT_EQ(full.Check("10.2.0.0", right), TLoginPenalty::lpAdmitted);
  EXPECT_EQ(PenaltyAfterAFailure(full, "10.4.0.1"), 0);
  EXPECT_EQ(full.Addresses(), kMaxLoginAddresses);
}
