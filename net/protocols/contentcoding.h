#pragma once
// The HTTP client's content-coding handler: the Accept-Encoding value it
// offers and the chain of decoders that undo a Content-Encoding answer.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <deque>
#include <vector>

#include "net/socket/netstream.h"

namespace yux::net {

class EHttpContentCodingException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a decoder (or the handler) passes bytes on.
using THttpWriteProc = std::function<void(const void* data, int len)>;

// Base of a decoder: created with the routine its decoded output goes to.
class THttpContentCoding {
 public:
  explicit THttpContentCoding(THttpWriteProc output) : FOutputWriteBuffer(std::move(output)) {}
  virtual ~THttpContentCoding() = default;
  THttpContentCoding(const THttpContentCoding&) = delete;
  THttpContentCoding& operator=(const THttpContentCoding&) = delete;

  // Whether the coding can be used at all (class test).
  virtual bool GetActive() const { return true; }
  // The coding's name.  Unless overridden: the class name after the prefix
  // "THttpContentCoding"; a class without that prefix must override it.
  virtual std::string GetCoding() const;
  // Receives encoded input; the base passes it on unchanged.
  virtual void WriteBuffer(const void* data, int len);
  // Called at the end of the body.
  virtual void Complete() {}
  // The class name, as GetCoding's default derives the coding from it.
  virtual std::string ClassName() const { return "THttpContentCoding"; }

 protected:
  THttpWriteProc FOutputWriteBuffer;
};

class THttpCCodIdentity : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  std::string GetCoding() const override { return "identity"; }
  std::string ClassName() const override { return "THttpCCodIdentity"; }
};

class THttpCCodStar : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  std::string GetCoding() const override { return "*"; }
  std::string ClassName() const override { return "THttpCCodStar"; }
};

using THttpContentCodingFactory = std::function<std::unique_ptr<THttpContentCoding>(THttpWriteProc)>;

// One registered coding class with its quality.
struct TContCodingClass {
  THttpContentCodingFactory Create;
  std::string Coding;
  bool Active = true;
  float Quality = 0;
};

// Process-wide registry of coding classes, created on first use with
// identity and "*" (both with quality 0).
class TContCodingsList {
 public:
  static TContCodingsList& Instance();
  void Register(THttpContentCodingFactory factory, float quality);
  template <class T>
  void Register(float quality) {
    Register([](THttpWriteProc out) { return std::make_unique<T>(std::move(out)); }, quality);
  }
  const std::deque<TContCodingClass>& Classes() const { return FClasses; }

 private:
  TContCodingsList();
  std::deque<TContCodingClass> FClasses;  // items point into it: never reallocated
};

// A registered coding as one handler sees it.
struct THttpContCodItem {
  const TContCodingClass* Class = nullptr;
  bool Enabled = true;
  float Quality = 0;
};

// One per HTTP client.
class THttpContCodHandler {
 public:
  // outputStream: the client's receive-stream field (may hold null);
  // documentData: the client's document-data trigger.
  THttpContCodHandler(TStream* const* outputStream, THttpWriteProc documentData);
  ~THttpContCodHandler();

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v);
  bool UseQuality() const { return FUseQuality; }
  void SetUseQuality(bool v);
  // The items in registry order; change them through SetItem* so that the
  // Accept-Encoding text is recalculated.
  const std::vector<THttpContCodItem>& Items() const { return FItems; }
  void SetItemEnabled(std::size_t index, bool enabled);
  void SetItemQuality(std::size_t index, float quality);

  // The Accept-Encoding value (empty: send no such line).
  std::string AcceptEncodingText();
  // Builds the decoder chain for a Content-Encoding value; false (and body
  // bytes going straight to the output) when a coding is unknown.
  bool SetupDecoders(const std::string& contentEncoding);
  void FinishDecoding();
  // Where the body bytes go.
  void WriteBuffer(const void* data, int len);
  std::size_t DecoderCount() const { return FDecoders.size(); }

 private:
  void OutputWriteBuffer(const void* data, int len);
  void RemoveDecoders();
  void SyncItems();

  TStream* const* FOutputStream;
  THttpWriteProc FDocumentData;
  THttpWriteProc FInputWriteBuffer;
  std::string FAcceptText;
  bool FRecalc = true;
  bool FEnabled = false;
  bool FUseQuality = false;
  std::vector<std::unique_ptr<THttpContentCoding>> FDecoders;
  std::vector<THttpContCodItem> FItems;
};

}  // namespace yux::net
