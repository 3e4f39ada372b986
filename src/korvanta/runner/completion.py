"""Tab completion in the shell: command words, then the words the command being typed takes."""

from collections.abc import Iterable

from korvanta.cmds.base import COMMANDS

from .usage import HELP_WORDS
from .words import command_module, keywords_of

# Module tables whose keys (or members) are words of the module's command: kline's periods
# and its adjust keywords.
VOCABULARY_TABLES = ("PERIOD_MAP", "ADJUST_KEYWORDS")


def command_vocabulary(word: str) -> list[str]:
    """The words the command `word` takes after its symbol, as its module and `words.KEYWORDS` list them."""
    module = command_module(word)
    words: set[str] = set(keywords_of(word))
    for table in VOCABULARY_TABLES:
        words.update(str(w) for w in getattr(module, table, ()))
    return sorted(words, key=lambda w: (len(w), w))


def leading_free_words(word: str) -> int:
    """How many words the command `word` takes as free text (a symbol) before its vocabulary applies."""
    cls = COMMANDS.get(word)
    try:
        argmap = cls(state=None, ib=None).argmap() if cls is not None else []
    except Exception:
        return 0
    count = 0
    for arg in argmap:
        if arg.greedy:
            break
        count += 1
    return count


def candidates(before: str, text: str, builtins: Iterable[str]) -> list[str]:
    """What `text`, the word under the cursor, may become; `before` is the line up to it."""
    typed = before.split()
    prefix = text.lower()
    if not typed:
        pool: Iterable[str] = sorted({*COMMANDS, *builtins})
    elif typed[0].lower() in HELP_WORDS:
        pool = sorted({*COMMANDS, *builtins})
    elif len(typed) - 1 >= leading_free_words(typed[0].lower()):
        pool = command_vocabulary(typed[0].lower())
    else:
        pool = []
    return [word for word in pool if word.lower().startswith(prefix)]


class Completer:
    """readline's completer function over `candidates`."""

    def __init__(self, readline, builtins: Iterable[str]):
        self.readline = readline
        self.builtins = builtins
        self.matches: list[str] = []

    def __call__(self, text: str, state: int) -> str | None:
        if state == 0:
            before = self.readline.get_line_buffer()[:self.readline.get_begidx()]
            self.matches = [word + " " for word in candidates(before, text, self.builtins)]
        return self.matches[state] if state < len(self.matches) else None
