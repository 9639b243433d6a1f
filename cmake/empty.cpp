// An empty translation unit for subsystem libraries that hold no code yet.
