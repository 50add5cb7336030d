import argparse
from typing import Optional, Sequence

def get_options(args: Optional[Sequence[str]]) -> argparse.Namespace: ...
