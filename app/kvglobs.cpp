// The settings object _G and the hub's subscribe, publish and unsubscribe.
#include "kvglobs.h"

#include <utility>

TkvGlobs _G;

int TpubSub::sub(int topic, Tcallback callback) {
  const int handle = nextHandle++;
  topics[topic].push_back(TcbObj{std::move(callback), handle});
  return handle;
}

void TpubSub::pub(int topic, long value) {
  // Walk by index and call a copy: a callback that (against the rules) subscribes to the topic
  // being published must not leave the walk on a reallocated vector or destroy the running
  // function object.
  const std::vector<TcbObj>& list = topics[topic];
  for (size_t i = 0; i < list.size(); ++i) {
    const Tcallback callback = list[i].callback;
    if (callback)
      callback(value);
  }
}

bool TpubSub::unsub(int topic, int handle) {
  std::vector<TcbObj>& list = topics[topic];
  for (auto it = list.begin(); it != list.end(); ++it)
    if (it->subHandle == handle) {
      list.erase(it);
      return true;
    }
  return false;
}
