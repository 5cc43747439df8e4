#pragma once
// The send queue of a socket: data that the network did not take yet, kept
// in a chain of fixed-size buffers that are recycled through a free list, so
// a busy socket reaches a steady state without allocation.
#include <cstdint>
#include <memory>
#include <mutex>

namespace yux::net {

class TNetBuffer {
 public:
  // A size of 0 or less becomes 1460.
  explicit TNetBuffer(int size);
  TNetBuffer(const TNetBuffer&) = delete;
  TNetBuffer& operator=(const TNetBuffer&) = delete;

  int Size() const { return size_; }
  // Copies up to the free space from data + offset; returns the count copied.
  int Write(const void* data, int offset, int len);
  // First unread byte and the unread count (0 when none).
  int Peek(const std::uint8_t*& data) const;
  // Consumes up to len unread bytes; returns the count consumed.  When all
  // stored bytes are consumed the block is reused from its start.
  int Remove(int len);
  void Reset() { writeCount_ = readCount_ = 0; }
  int Unread() const { return writeCount_ - readCount_; }
  bool Full() const { return writeCount_ >= size_; }

 private:
  friend class TNetBufferLinkedList;
  std::unique_ptr<std::uint8_t[]> block_;
  int size_;
  int writeCount_ = 0;
  int readCount_ = 0;
  TNetBuffer* next_ = nullptr;
  TNetBuffer* prev_ = nullptr;
};

// A doubly linked list of buffers that owns them.
class TNetBufferLinkedList {
 public:
  TNetBufferLinkedList() = default;
  ~TNetBufferLinkedList();
  TNetBufferLinkedList(const TNetBufferLinkedList&) = delete;
  TNetBufferLinkedList& operator=(const TNetBufferLinkedList&) = delete;

  TNetBuffer* Head() const { return head_; }
  TNetBuffer* Tail() const { return tail_; }
  bool Empty() const { return head_ == nullptr; }
  int Count() const;
  void AddToEnd(TNetBuffer* b);
  void AddToFront(TNetBuffer* b);
  // Unlinks b (which must be in this list) without freeing it.
  TNetBuffer* Unlink(TNetBuffer* b);

 private:
  TNetBuffer* head_ = nullptr;
  TNetBuffer* tail_ = nullptr;
};

class TNetBufferHandler {
 public:
  TNetBufferHandler() = default;
  TNetBufferHandler(const TNetBufferHandler&) = delete;
  TNetBufferHandler& operator=(const TNetBufferHandler&) = delete;

  int BufSize = 1460;  // size of buffers made from now on

  void Write(const void* data, int len);
  // Pointer and count of the unread bytes of the head buffer only.
  int PeekUnread(const std::uint8_t*& data) const;
  // Removes up to len bytes from the head buffer; raises for a negative
  // len ("TNetBufferHandler.Remove: Invalid Len <len>") and for an empty
  // queue ("TNetBufferHandler.Remove: nothing to remove").
  int Remove(int len);
  bool IsDrained() const;
  void DeleteAll();
  void EnterLock() { lock_.lock(); }
  void LeaveLock() { lock_.unlock(); }

  int DataBufferCount() const { return data_.Count(); }
  int FreeBufferCount() const { return free_.Count(); }
  const TNetBuffer* DataHead() const { return data_.Head(); }
  const TNetBuffer* FreeHead() const { return free_.Head(); }

 private:
  TNetBufferLinkedList data_;
  TNetBufferLinkedList free_;
  std::recursive_mutex lock_;
};

}  // namespace yux::net
