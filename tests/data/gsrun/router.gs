// Messages over ticks: two threads sleep, then wait for messages sent at once, posted, posted
// with a delay (one of them cleared) and broadcast; an object made with new goes while a
// message to it is on its way; a handler added twice runs once; a sniffed copy of a message
// reaches its sniffer once.
include "gs.gs"

class Target isclass GameObject {
  public int hits;
};

class Station isclass GameObject {
  thread void Listen(string tag) {
    Message m;
    Sleep(0.25);
    Exception(tag + " awake");
    wait () {
      on "Ping", "", m: {
        Exception(tag + " got " + m.major + "," + m.minor);
        continue;
      }
      on "Stop", "Now": Exception(tag + " stopped");
    }
  }

  thread void Drive() {
    Target gone = new Target();
    PostMessage(gone, "Ping", "Lost", 0.3);
    gone = null;
    SendMessage(me, "Ping", "TooEarly");
    Sleep(0.35);
    Router.Info();
    PostMessage(me, "Ping", "Cleared", 0.2);
    ClearMessages("Ping", "Cleared");
    PostMessage(me, "Ping", "Third", 0.3);
    PostMessage(me, "Ping", "Second", 0.1);
    PostMessage(me, "Ping", "First", 0.0);
    SendMessage(me, "Ping", "Now");
    SendMessage(null, "Ping", "Everyone");
    PostMessage(me, "Bell", "Ring", 0.0);
    Sleep(1.0);
    SendMessage(null, "Stop", "Now");
  }

  thread void SendBadly() {
    string missing;
    SendMessage(me, missing, "Never");
  }

  void OnBell(Message m) { Exception("handler got " + m.major + "," + m.minor); }

  public int Start() {
    AddHandler(me, "Bell", "", "OnBell");
    AddHandler(me, "Bell", "", "OnBell");
    AddHandler(me, "Bell", "", "Missing");
    Sniff(me, "Ping", "Everyone", true);
    Listen("a");
    Listen("b");
    Drive();
    return GetId();
  }

  public void Bad() { SendBadly(); }
};
