// Row classes: group constructors from row-line fields and the lookups of transactions and transfers.
#include "kvgroup.h"

#include <cstdlib>

#include "kvutils.h"

namespace {

uint32_t depthFromFields(const TstringVec& fields) {
  if (fields.empty())
    return 0;
  long v = std::strtol(fields[0].c_str(), nullptr, 10);
  return v > 0 && v <= 0x7FFFFFFF ? static_cast<uint32_t>(v) : 0;
}

template <typename T>
std::shared_ptr<T> firstChild(const TrowVec& children, int kind) {
  for (const auto& c : children)
    if (c && c->kind == kind)
      return std::static_pointer_cast<T>(c);
  return nullptr;
}

}  // namespace

Tgrouper::Tgrouper(const TstringVec& fields) : Tgrouper(ROW_NONE, fields) {}

Tgrouper::Tgrouper(int k, const TstringVec& fields) : Tbase(k) { depth = depthFromFields(fields); }

Ttransax::Ttransax(const TstringVec& fields) : Tgrouper(ROW_TRANSAX, fields) {
  if (fields.size() < 2)
    return;
  if (fields[1] == "T:SETUP")
    subType = TRX_SETUP;
  else if (fields[1] == "T:IN")
    subType = TRX_IN;
  else if (fields[1] == "T:OUT")
    subType = TRX_OUT;
}

std::shared_ptr<Ttoken> Ttransax::findTokenPkt() const { return firstChild<Ttoken>(children, ROW_TOKEN); }
std::shared_ptr<Tdata> Ttransax::findDataPkt() const { return firstChild<Tdata>(children, ROW_DATA); }
std::shared_ptr<Thandshake> Ttransax::findHandshakePkt() const {
  return firstChild<Thandshake>(children, ROW_HANDSHAKE);
}

bool Ttransax::ackOK() const {
  auto h = findHandshakePkt();
  return h && h->pid == PID_ACK;
}

std::shared_ptr<Ttransax> Ttransfer::findTransax(TtrxType t, unsigned& index) const {
  for (size_t i = index; i < children.size(); ++i) {
    const auto& c = children[i];
    if (c && c->kind == ROW_TRANSAX && static_cast<const Ttransax&>(*c).subType == t) {
      index = static_cast<unsigned>(i);
      return std::static_pointer_cast<Ttransax>(c);
    }
  }
  if (index < children.size())
    index = static_cast<unsigned>(children.size());
  return nullptr;
}

std::shared_ptr<Ttransax> Ttransfer::findSetupTransax() const {
  unsigned i = 0;
  return findTransax(TRX_SETUP, i);
}

std::shared_ptr<Ttransax> Ttransfer::findInTransax(unsigned& index) const { return findTransax(TRX_IN, index); }
std::shared_ptr<Ttransax> Ttransfer::findOutTransax(unsigned& index) const { return findTransax(TRX_OUT, index); }

std::vector<uint8_t>& Ttransfer::findData() {
  if (!data.empty())
    return data;
  auto setup = findSetupTransax();
  if (!setup)
    return data;
  auto setupData = setup->findDataPkt();
  if (!setupData || setupData->data.size() != 8)
    return data;
  const bool deviceToHost = setupData->data[0] & 0x80;
  const TtrxType dataStage = deviceToHost ? TRX_IN : TRX_OUT;
  const TtrxType statusStage = deviceToHost ? TRX_OUT : TRX_IN;
  statusDone = false;
  for (const auto& c : children) {
    if (!c || c->kind != ROW_TRANSAX)
      continue;
    const auto& t = static_cast<const Ttransax&>(*c);
    if (!t.ackOK())
      continue;
    auto d = t.findDataPkt();
    if (!d)
      continue;
    if (t.subType == dataStage)
      data.insert(data.end(), d->data.begin(), d->data.end());
    else if (t.subType == statusStage && d->data.empty())
      statusDone = true;
  }
  return data;
}
