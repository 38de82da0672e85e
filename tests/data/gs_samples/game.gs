// Messages: a game class whose thread waits for three messages and handles each one.
include "shapes.gs"

class Message { public string major; };

game class Watcher {
  Shape last;
  int seen;

  thread void Watch() {
    Message m;
    wait () {
      on "Shape", "Made", m: seen++;
      on "Shape", "Lost": seen--;
      on "Timer", "Tick", m: {
        if (seen > 10) break;
        continue;
      }
    }
    on "Done", "Now": seen = 0;
  }
  public void Start() { Watch(); }
};
