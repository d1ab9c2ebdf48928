"""Stand-ins that record how the modules call their collaborators."""


class RecordingCp:
    """The array module with `array` calls recorded."""

    def __init__(self, real):
        self.real, self.array_calls = real, []

    def __getattr__(self, name):
        return getattr(self.real, name)

    def array(self, *args, **kwargs):
        self.array_calls.append((args, kwargs))
        return self.real.array(*args, **kwargs)
