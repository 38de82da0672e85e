// The grid meshes the mesh benchmarks load: ".im" files of `chunks` chunks, each a grid of
// `grid` x `grid` quads (2 x grid x grid triangles) with one texture set; with `bones`, two
// weights a vertex from that many bones.
#pragma once

#include <string>

#include "mesh/chunk_writer.h"
#include "qel/file.h"
#include "qel/types.h"

inline void WriteGridMesh(const std::string& path, u32 chunks, u32 grid, u32 bones) {
  const u32 side = grid + 1;
  Qel::File file;
  file.Open(path.c_str(), Qel::File::kModeCreate);
  ChunkWriter w(file);
  w.BeginFile("IDXM");
  w.BeginChunk("INFO", 103);
  for (f32 v : {0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 1.f}) w.WriteF32(v);
  w.WriteU32(chunks);
  w.WriteU32(bones > 0 ? 2 : 0);
  w.WriteU32(bones);
  w.EndChunk();
  const u32 vertices = side * side;
  const u32 triangles = 2 * grid * grid;
  for (u32 c = 0; c < chunks; ++c) {
    w.BeginChunk("CHNK", 100);
    w.WriteU32(0);
    w.BeginChunk("MATL", 103);
    w.WritePaddedString("grid.m.onetex");
    w.WriteU32(0);
    w.WriteU32(0);
    w.WriteF32(1.0f);
    for (int k = 0; k < 13; ++k) w.WriteF32(k < 6 ? 1.0f : 10.0f);
    w.WriteU32(0);
    w.EndChunk();
    w.BeginChunk("GEOM", 103);
    w.WriteU32(4);
    w.WriteF32(0.0f);
    for (u32 v : {vertices, triangles, 3 * triangles, triangles, 1u, bones > 0 ? 2u : 0u}) {
      w.WriteU32(v);
    }
    for (u32 y = 0; y < side; ++y) {
      for (u32 x = 0; x < side; ++x) {
        for (f32 v : {f32(x), f32(y), f32(c), f32(x) / grid, f32(y) / grid}) w.WriteF32(v);
      }
    }
    for (u32 y = 0; y < grid; ++y) {
      for (u32 x = 0; x < grid; ++x) {
        const u32 a = y * side + x;
        for (u32 i : {a, a + 1, a + side + 1, a, a + side + 1, a + side}) w.WriteU16(u16(i));
      }
    }
    for (u32 v = 0; v < vertices; ++v) {
      for (f32 n : {0.f, 0.f, 1.f}) w.WriteF32(n);
    }
    for (u32 t = 0; t < triangles; ++t) {
      for (f32 n : {0.f, 0.f, 1.f}) w.WriteF32(n);
    }
    w.EndChunk();
    w.EndChunk();
  }
  if (bones == 0) {
    w.EndFile();
    file.Close();
    return;
  }
  w.BeginChunk("INFL", 100);
  w.WriteU32(bones);
  for (u32 b = 0; b < bones; ++b) {
    w.WritePaddedString(("bone" + std::to_string(b)).c_str());
    w.WritePaddedString(b == 0 ? "" : "bone0");
    for (f32 v : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f}) w.WriteF32(v);
    w.WriteU32(chunks / 2);
    for (u32 c = b % 2; c < chunks; c += 2) {
      w.WriteU32(c);
      w.WriteU32(vertices);
      for (u32 v = 0; v < vertices; ++v) {
        w.WriteU32(v);
        for (f32 f : {0.5f, 0.f, 0.f, 0.f}) w.WriteF32(f);
      }
    }
  }
  w.EndChunk();
  w.EndFile();
  file.Close();
}

