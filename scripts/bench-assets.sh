# Sourced by the package benchmarks. generate_assets FOLDER COUNT KUID_USER TEXT_BYTES MESH_BYTES
# TEXTURE_BYTES EXECUTABLE makes COUNT assets asset1..assetN under FOLDER, each a configuration
# (<kuid:KUID_USER:i>), a timetable-like listing of about TEXT_BYTES, and a mesh and a texture
# that are slices of EXECUTABLE, which compresses about as well as meshes and textures do.
generate_assets() {
  local folder=$1 count=$2 user=$3 text_bytes=$4 mesh_bytes=$5 texture_bytes=$6 executable=$7
  LC_ALL=C awk -v n="$count" -v user="$user" -v bytes="$text_bytes" -v root="$folder" 'BEGIN {
    srand(14)
    for (i = 1; i <= n; i++) {
      dir = root "/asset" i
      system("mkdir -p \"" dir "/mesh/textures\"")
      printf "kuid <kuid:%d:%d>\nusername \"Generated %d\"\nkind \"scenery\"\nkestro-build 3.5\n", user, i, i > (dir "/config.txt")
      close(dir "/config.txt")
      file = dir "/timetable.txt"
      for (written = 0; written < bytes;) {
        line = sprintf("stop %d platform %d arrives %02d:%02d departs %02d:%02d track %.3f %.3f\n",
          written % 977, int(rand() * 12), int(rand() * 24), int(rand() * 60), int(rand() * 24),
          int(rand() * 60), rand() * 1000, rand() * 1000)
        printf "%s", line > file
        written += length(line)
      }
      close(file)
    }
  }'
  local size i offset
  size=$(stat -c %s "$executable")
  for ((i = 1; i <= count; i++)); do
    offset=$(( (i * 7919) % (size - mesh_bytes - texture_bytes) ))
    dd if="$executable" of="$folder/asset$i/mesh/body.im" skip=$offset count="$mesh_bytes" \
      iflag=skip_bytes,count_bytes status=none
    dd if="$executable" of="$folder/asset$i/mesh/textures/body.texture" \
      skip=$((offset + mesh_bytes)) count="$texture_bytes" iflag=skip_bytes,count_bytes status=none
  done
}
