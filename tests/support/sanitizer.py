"""The sanitizer run (`./run sanitize`): the suite against the ASan/UBSan build."""
import os
import subprocess

SANITIZED = bool(os.environ.get("ZELQVIZ_SANITIZED"))


def pass_runtime_to_children():
    """Child interpreters need the preloaded runtime too, also when a test gives them their own env."""
    runtime = {k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "ZELQVIZ_SANITIZED")
               if k in os.environ}
    popen_init = subprocess.Popen.__init__

    def sanitized_popen_init(self, *args, env=None, **kwargs):
        if env is not None:
            env = {**env, **runtime}
        popen_init(self, *args, env=env, **kwargs)

    subprocess.Popen.__init__ = sanitized_popen_init
