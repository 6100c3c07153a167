// Output names as the command line makes them: the container's file name
// without its last extension, "_", the song's number and ".mid"
// ("tune.dat" gives "tune_1.mid", "a.b.dat" gives "a.b_1.mid", ".dat" gives
// "_1.mid"). A dropped file has a name without a directory.
export function baseName(fileName) {
  const slash = fileName.lastIndexOf("/");
  const name = fileName.slice(slash + 1);
  const dot = name.lastIndexOf(".");
  return dot < 0 ? name : name.slice(0, dot);
}

export function outputName(fileName, songNumber) {
  return `${baseName(fileName)}_${songNumber}.mid`;
}

// Folder names for the zip: one per container, named after its file; a
// name dropped again gets " (2)", " (3)" ... so that no two folders clash.
export function uniqueFolders(fileNames) {
  const taken = new Set();
  return fileNames.map((name) => {
    let folder = name;
    for (let copy = 2; taken.has(folder); ++copy) folder = `${name} (${copy})`;
    taken.add(folder);
    return folder;
  });
}
