# fish completion for nexla: nexli's, which completes both. fish loads a
# command's completion from the file of its name, the first time it is needed.
source (status dirname)/nexli.fish
