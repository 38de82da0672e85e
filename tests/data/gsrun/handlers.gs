// A handler runs on the static thread: its SendMessage is reported as an error of that thread,
// and the message is still sent.
include "gs.gs"

class Station isclass GameObject {
  void OnBell(Message m) {
    Exception("bell " + m.minor);
    SendMessage(me, "Echo", "Back");
  }
  void OnEcho(Message m) { Exception("echo " + m.minor); }

  public int Start() {
    AddHandler(me, "Bell", "", "OnBell");
    AddHandler(me, "Echo", "", "OnEcho");
    PostMessage(me, "Bell", "Ring", 0.0);
    return GetId();
  }

  // A handler that a thread's SendMessage runs at once: its error fails the run as the thread's
  // own would, and the thread goes on.
  void OnAsk(Message m) {
    int[] none;
    Exception("asked " + none[0]);
  }
  thread void Ask() {
    SendMessage(me, "Ask", "Now");
    Exception("answered");
  }

  public int Asking() {
    AddHandler(me, "Ask", "", "OnAsk");
    Ask();
    return GetId();
  }
};
