// "HTMLBuffer.gsl": text gathered for HTML display; Escape makes user text safe to show.
include "gs.gs"

final class HTMLBuffer isclass GSObject {
  public native void Clear();
  public native bool IsEmpty();
  public native string AsString();
  public native void Print(string text);
  public native void Escape(string text);
};

static class HTMLBufferStatic {
  public native HTMLBuffer Construct();
};
