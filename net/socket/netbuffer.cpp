#include "net/socket/netbuffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace yux::net {

TNetBuffer::TNetBuffer(int size) : size_(size <= 0 ? 1460 : size) {
  block_ = std::make_unique<std::uint8_t[]>(std::size_t(size_));
}

int TNetBuffer::Write(const void* data, int offset, int len) {
  int n = std::min(len, size_ - writeCount_);
  if (n <= 0) return 0;
  std::memcpy(block_.get() + writeCount_, static_cast<const std::uint8_t*>(data) + offset,
              std::size_t(n));
  writeCount_ += n;
  return n;
}

int TNetBuffer::Peek(const std::uint8_t*& data) const {
  int n = writeCount_ - readCount_;
  if (n <= 0) {
    data = nullptr;
    return 0;
  }
  data = block_.get() + readCount_;
  return n;
}

int TNetBuffer::Remove(int len) {
  int n = std::min(len, writeCount_ - readCount_);
  if (n <= 0) return 0;
  readCount_ += n;
  if (readCount_ >= writeCount_) readCount_ = writeCount_ = 0;
  return n;
}

TNetBufferLinkedList::~TNetBufferLinkedList() {
  while (head_) delete Unlink(head_);
}

int TNetBufferLinkedList::Count() const {
  int n = 0;
  for (auto* b = head_; b; b = b->next_) ++n;
  return n;
}

void TNetBufferLinkedList::AddToEnd(TNetBuffer* b) {
  b->next_ = nullptr;
  b->prev_ = tail_;
  if (tail_)
    tail_->next_ = b;
  else
    head_ = b;
  tail_ = b;
}

void TNetBufferLinkedList::AddToFront(TNetBuffer* b) {
  b->prev_ = nullptr;
  b->next_ = head_;
  if (head_)
    head_->prev_ = b;
  else
    tail_ = b;
  head_ = b;
}

TNetBuffer* TNetBufferLinkedList::Unlink(TNetBuffer* b) {
  if (b->prev_)
    b->prev_->next_ = b->next_;
  else
    head_ = b->next_;
  if (b->next_)
    b->next_->prev_ = b->prev_;
  else
    tail_ = b->prev_;
  b->next_ = b->prev_ = nullptr;
  return b;
}

void TNetBufferHandler::Write(const void* data, int len) {
  int offset = 0;
  while (len > 0) {
    TNetBuffer* tail = data_.Tail();
    if (!tail || tail->Full()) {
      tail = free_.Empty() ? new TNetBuffer(BufSize) : free_.Unlink(free_.Head());
      data_.AddToEnd(tail);
    }
    int n = tail->Write(data, offset, len);
    offset += n;
    len -= n;
  }
}

int TNetBufferHandler::PeekUnread(const std::uint8_t*& data) const {
  if (data_.Empty()) {
    data = nullptr;
    return 0;
  }
  return data_.Head()->Peek(data);
}

int TNetBufferHandler::Remove(int len) {
  if (len < 0) throw std::runtime_error("TNetBufferHandler.Remove: Invalid Len " + std::to_string(len));
  if (data_.Empty()) throw std::runtime_error("TNetBufferHandler.Remove: nothing to remove");
  TNetBuffer* head = data_.Head();
  int n = head->Remove(len);
  if (head->Unread() == 0) {
    head->Reset();
    free_.AddToFront(data_.Unlink(head));
  }
  return n;
}

bool TNetBufferHandler::IsDrained() const {
  return data_.Empty() || data_.Head()->Unread() == 0;
}

void TNetBufferHandler::DeleteAll() {
  while (!data_.Empty()) {
    TNetBuffer* b = data_.Unlink(data_.Head());
    b->Reset();
    free_.AddToFront(b);
  }
}

}  // namespace yux::net
