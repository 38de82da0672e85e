#include "mesh/kestro_progressive_mesh_definition.h"

#include <vector>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/mesh_load_result.h"

u32 KestroProgressiveMeshDefinition::Load(Qel::Display* display, Qel::MaterialManager* manager,
                                          KestroGeometryBaseResource* resource, u32 /*argument*/,
                                          u32 defaultColour) {
  if (!manager) return RES_NO_MATERIAL_MANAGER;
  SetLoadContext(display, manager, resource, defaultColour);
  if (resource) {
    Qel::String path;
    if (ResolveMeshPath(*resource, path)) {
      memory_.LoadFile(path.CStr());
      fileName_ = path;
    }
  }
  if (memory_.GetSize() == 0) return RES_FILE_OPEN_ERROR;
  ChunkReader reader(memory_);
  if (u32 code = ReadHeadAndChunks(reader)) return code;
  if (reader.BytesLeft() > 0) ReadSkeletonOrInfluences(reader);
  if (reader.BytesLeft() > 0) ReadAttachments(reader);
  if (reader.BytesLeft() > 0) ReadPMIN(reader);
  return FinishLoad(reader, false);
}

u32 KestroProgressiveMeshDefinition::ReadPMIN(ChunkReader& reader) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("PMIN", ChunkReader::Presence::kMandatory, 101, 101, header)) {
    return code;
  }
  Qel::MemoryFile& memory = reader.Memory();
  u32 pool = 0, entries = 0, groups = 0, levels = 0;
  memory.ReadU32(pool);
  memory.ReadU32(entries);
  memory.ReadU32(groups);
  memory.ReadU32(levels);
  const u64 needed = 4 * (u64(pool) + 4 * u64(entries) + 2 * u64(groups) + u64(levels));
  if (memory.HasShortRead() || needed > reader.BytesLeft()) return RES_FILE_FORMAT_ERROR;
  struct Entry {
    u32 fields[4] = {};
    const u32* firstWord = nullptr;
  };
  struct Group {
    u32 fields[2] = {};
    const Entry* firstEntry = nullptr;
  };
  struct Level {
    u32 groupCount = 0;
    const Group* firstGroup = nullptr;
  };
  std::vector<u32> poolWords(pool);
  std::vector<Entry> entryTable(entries);
  std::vector<Group> groupTable(groups);
  std::vector<Level> levelTable(levels);
  if (pool > 0) memory.Read(poolWords.data(), 4 * pool);
  for (Entry& entry : entryTable) {
    for (u32& field : entry.fields) memory.ReadU32(field);
  }
  for (Group& group : groupTable) {
    for (u32& field : group.fields) memory.ReadU32(field);
  }
  for (Level& level : levelTable) memory.ReadU32(level.groupCount);
  // Each parent takes the next run of children; runs must stay inside their tables.
  u64 next = 0;
  for (Level& level : levelTable) {
    if (next + level.groupCount > groups) return RES_FILE_FORMAT_ERROR;
    level.firstGroup = groupTable.data() + next;
    next += level.groupCount;
  }
  next = 0;
  for (Group& group : groupTable) {
    if (next + group.fields[1] > entries) return RES_FILE_FORMAT_ERROR;
    group.firstEntry = entryTable.data() + next;
    next += group.fields[1];
  }
  next = 0;
  for (Entry& entry : entryTable) {
    if (next + entry.fields[3] > pool) return RES_FILE_FORMAT_ERROR;
    entry.firstWord = poolWords.data() + next;
    next += entry.fields[3];
  }
  return reader.LeaveChunk(header);
}
