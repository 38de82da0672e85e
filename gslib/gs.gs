// The base script library "gs.gsl": the classes every script can use, whose native methods the
// runtime binds by their signature texts.

class GSObject {
  public native string GetGSClassName();
};

game class GameObject isclass GSObject {
  public native void SendMessage(GameObject dst, string major, string minor);
  public native void SendMessage(GameObject dst, string major, string minor, GSObject payload);
  public native void PostMessage(GameObject dst, string major, string minor, float seconds);
  public native void PostMessage(GameObject dst, string major, string minor, GSObject payload,
                                 float seconds);
  public native void ClearMessages(string major, string minor);
  public native void AddHandler(GameObject source, string major, string minor, string handler);
  public native void Sniff(GameObject source, string major, string minor, bool state);
  public native void Sleep(float seconds);
  public native int GetId();
  public native string GetName();
  public native void Exception(string reason);
};

// A message as a handler or a wait receives it. The runtime fills the five fields by position.
class Message {
  public string major;
  public string minor;
  public GameObject src;
  public GameObject dst;
  public GSObject payload;
};

static class Router {
  public native GameObject GetGameObject(int id);
  public native GameObject GetForeignGameObject(int id);
  public native GameObject GetGameObject(string name);
  public native void Info();
  public native void PostMessage(int src, int dst, string major, string minor, float seconds);
};

static class Str {
  public native void TrimLeft(string text, string set);
  public native void TrimRight(string text, string set);
  public native int ToInt(string text);
  public native float ToFloat(string text);
  public native void ToUpper(string text);
  public native void ToLower(string text);
  public native string[] Tokens(string text, string set);
  public native int UnpackInt(string text);
  public native float UnpackFloat(string text);
  public native string UnpackString(string text);
  public native int Find(string text, string pattern, int start);
};

static class Math {
  public native float Rand(float low, float high);
  public native int Rand(int low, int high);
  public native float Sqrt(float value);
};
