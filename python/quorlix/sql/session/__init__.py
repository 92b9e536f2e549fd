"""The database session's own walls around each statement (``walls``, which every engine
extends) and the ``watchdog`` that stops a call at its time limit."""
