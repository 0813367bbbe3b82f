#pragma once

// What a network repair tells the one that started it: once, on the main
// thread, when it has ended (whichever way).
class RepairListener {
 public:
  virtual void onRepairDone() = 0;
  virtual ~RepairListener() = default;
};
