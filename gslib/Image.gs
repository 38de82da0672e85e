// "Image.gsl": a raster image to draw on, in a line and a fill colour, with text in a font.
include "Soup.gs"

final class Image isclass GSObject {
  public native void Clear(int width, int height);
  public native void Resize(int width, int height, bool smooth);
  public native int GetWidth();
  public native int GetHeight();
  public native void SetLineColor(float r, float g, float b, float a);
  public native void SetFillColor(float r, float g, float b, float a);
  public native void DrawPoint(int x, int y);
  public native void DrawRect(int x1, int y1, int x2, int y2);
  public native void DrawLine(int x1, int y1, int x2, int y2);
  public native void DrawCircle(int x, int y, int radius);
  public native void DrawTriangle(int x1, int y1, int x2, int y2, int x3, int y3);
  public native void DrawImage(int x, int y, Image source);
  public native void DrawImage(int x1, int y1, int x2, int y2, Image source);
  public native void DrawImage(int x1, int y1, int x2, int y2, Image source, int sx1, int sy1,
                               int sx2, int sy2);
  public native void SetTextFont(string face, int height);
  public native int MeasureTextWidth(string text);
  public native void DrawText(int x, int y, string text);
  public native Soup ExportImage();
  public native void ImportImage(Soup image);
};
