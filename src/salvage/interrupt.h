#pragma once
// How a long run learns that its caller wants it to stop (Ctrl-C in Python).

namespace rowmend {

// Asked between windows and whenever a blocking open, read or write comes
// back interrupted by a signal. Once it has answered true, the run stops as
// soon as it can and reports that it was interrupted.
class Interrupt {
  public:
    virtual ~Interrupt() = default;
    virtual bool requested() = 0;
};

} // namespace rowmend
