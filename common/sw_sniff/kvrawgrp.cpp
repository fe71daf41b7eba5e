// Transaction and transfer grouper: event rows to the tree of SOF runs, transactions and transfers.
#include "kvrawgrp.h"

#include <cassert>
#include <fstream>

#include "kvrowpool.h"
#include "kvrowutils.h"

TrawTree::TrawTree(const TrowVec& ev, TrowVec& rt) : events(&ev), roots(&rt) {
  size_t index = 0;
  for (size_t n = 1; getDisplayItem(index); ++n)
    if (n % HEAP_CHECK_EVERY == 0) adviseHeapGrowth();
}

TrawTree::~TrawTree() = default;

int TrawTree::getPid(const TrowPtr& row) {
  if (!row) return -1;
  switch (row->kind) {
    case ROW_SOF:
    case ROW_TOKEN:
    case ROW_DATA:
    case ROW_HANDSHAKE:
      // These kinds are set only by the packet row classes.
      return static_cast<const TpacketBase&>(*row).pid;
    default:
      return -1;
  }
}

int TrawTree::portRef(int addr, int endp) { return ((addr & 0x7F) << 4) | (endp & 0x0F); }

bool TrawTree::getDisplayItem(size_t& index) {
  if (index >= events->size()) return false;
  const TrowPtr& row = (*events)[index];
  if (!row) {  // not a row: nothing to place
    ++index;
    return true;
  }
  switch (row->kind) {
    case ROW_RESET:
      return doReset(index);
    case ROW_SOF:
      return doSOF(index);
    case ROW_TOKEN:
      switch (getPid(row)) {
        case PID_SETUP:
          return doSetup(index);
        case PID_IN:
          return doIn(index);
        case PID_OUT:
          return doOut(index);
        default:
          // The packet decoder makes token rows only for SETUP, IN and OUT.
          assert(false && "token row with a PID other than SETUP, IN or OUT");
          break;
      }
      break;
    default:
      break;
  }
  // A data or handshake packet that no transaction claimed stays a plain root.
  roots->push_back(row);
  ++index;
  return true;
}

bool TrawTree::doReset(size_t& index) {
  roots->push_back((*events)[index]);
  ++index;
  return true;
}

bool TrawTree::doSOF(size_t& index) {
  const size_t n = events->size();
  if (index + 1 >= n || !(*events)[index + 1] || (*events)[index + 1]->kind != ROW_SOF) {
    roots->push_back((*events)[index]);  // a lone SOF is never grouped
    ++index;
    return true;
  }
  auto group = pool.make<TsofGroup>();
  size_t end = index;
  while (end < n && (*events)[end] && (*events)[end]->kind == ROW_SOF) ++end;
  group->children.reserve(end - index);
  roots->push_back(group);
  while (index < n) {
    const TrowPtr& row = (*events)[index];
    if (!row || row->kind != ROW_SOF) return true;
    row->depth = 1;
    group->children.push_back(row);
    ++index;
  }
  return false;
}

void TrawTree::takeInto(const std::shared_ptr<Ttransax>& trx, size_t& index) {
  assert(trx->children.size() <= 2);
  const TrowPtr& row = (*events)[index];
  row->depth = trx->depth + 1;
  trx->children.push_back(row);
  ++index;
}

bool TrawTree::doSetup(size_t& index) {
  const auto& token = static_cast<const Ttoken&>(*(*events)[index]);
  const int key = portRef(static_cast<int>(token.addr), static_cast<int>(token.endp));

  auto transfer = pool.make<Ttransfer>(TFR_CONTROL);
  roots->push_back(transfer);
  ports[key].transfer = transfer;  // an open transfer on this key is replaced

  // SETUP, then DATA0, then ACK: the rows it takes are known before any is taken, so the child
  // list is allocated once at its final size.
  const size_t n = events->size();
  size_t take = 1;
  if (index + 1 < n && getPid((*events)[index + 1]) == PID_DATA0) {
    ++take;
    if (index + 2 < n && getPid((*events)[index + 2]) == PID_ACK) ++take;
  }
  auto trx = pool.make<Ttransax>(TRX_SETUP);
  trx->children.reserve(take);
  trx->depth = transfer->depth + 1;
  takeInto(trx, index);
  transfer->children.push_back(trx);

  if (index >= n) return false;
  if (getPid((*events)[index]) != PID_DATA0) return true;
  takeInto(trx, index);

  if (index >= n) return false;
  if (getPid((*events)[index]) == PID_ACK) takeInto(trx, index);
  return true;
}

bool TrawTree::doIn(size_t& index) { return doInOut(index, TRX_IN); }

bool TrawTree::doOut(size_t& index) { return doInOut(index, TRX_OUT); }

bool TrawTree::doInOut(size_t& index, TtrxType type) {
  const auto& token = static_cast<const Ttoken&>(*(*events)[index]);
  const int key = portRef(static_cast<int>(token.addr), static_cast<int>(token.endp));
  const size_t n = events->size();

  // After the token: a data packet and its handshake, or (IN only) a NAK or STALL that ends the
  // transaction. Worked out first, so the child list is allocated once at its final size.
  size_t take = 1;
  bool hasData = false, zeroLength = false;
  if (index + 1 < n) {
    const TrowPtr& next = (*events)[index + 1];
    const int pid = getPid(next);
    if (pid == PID_DATA0 || pid == PID_DATA1) {
      hasData = true;
      ++take;
      zeroLength = next->kind == ROW_DATA && static_cast<const Tdata&>(*next).data.empty();
      if (index + 2 < n) {
        const int hs = getPid((*events)[index + 2]);
        if (hs == PID_ACK || (type == TRX_OUT && (hs == PID_NAK || hs == PID_STALL))) ++take;
      }
    } else if (type == TRX_IN && (pid == PID_NAK || pid == PID_STALL)) {
      ++take;
    }
  }

  auto trx = pool.make<Ttransax>(type);
  trx->children.reserve(take);
  auto port = ports.find(key);
  if (port != ports.end()) {
    const auto& transfer = port->second.transfer;
    trx->depth = transfer->depth + 1;
    transfer->children.push_back(trx);
  } else {
    roots->push_back(trx);
  }
  takeInto(trx, index);  // the token
  if (index >= n) return false;
  if (!hasData) {
    if (take == 2) takeInto(trx, index);  // the NAK or STALL of an IN
    return true;
  }
  takeInto(trx, index);  // the data packet
  // After the data packet: the handshake; the transaction ends here in any case.
  if (index >= n) return false;
  if (take == 3) takeInto(trx, index);
  // A zero-length data packet in any stage closes the endpoint's control transfer.
  if (zeroLength) ports.erase(key);
  return true;
}

std::string TrawTree::prStrRawGrp(const TrowPtr& row) {
  if (!row) return {};
  std::string text = rowutils::toString(row);
  if (row->kind == ROW_SOFGROUP || row->kind == ROW_TRANSAX || row->kind == ROW_TRANSFER) {
    if (auto group = std::dynamic_pointer_cast<Tgrouper>(row)) {
      for (const auto& child : group->children) text += prStrRawGrp(child);
    }
  }
  return text;
}

bool TrawTree::save(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const auto& root : *roots) out << prStrRawGrp(root);
  out.flush();
  return static_cast<bool>(out);
}

namespace utils {
std::string prStr(const TrowPtr& row) { return row ? rowutils::toString(row) : std::string(); }
}  // namespace utils
