"""The host's demo application on the bundled example layout: students per user."""

from __future__ import annotations

from vantrel_app_plugin.brisen import TkJsonEngine


class DemoEngine(TkJsonEngine):
    """Adds the business function and the page hooks that the example layout names."""

    @property
    def business_handlers(self):
        return {"add_student": self.add_student}

    def add_student(self, name: str = "", age: str = "", user_id: int | None = None):
        """Store a student for the logged-in user; returns (ok, message)."""
        name = name.strip()
        if not name:
            return False, "请输入学生姓名"
        if user_id is None:
            return False, "请先登录"
        try:
            age_value = int(age) if age.strip() else None
        except ValueError:
            return False, "年龄必须是整数"
        with self.plugin.connect() as con:
            con.execute("INSERT INTO students (owner_id, name, age) VALUES (?, ?, ?)",
                        (user_id, name, age_value))
            con.commit()
        return True, f"已添加学生: {name}"

    def _students(self) -> list[tuple[str, int | None]]:
        with self.plugin.connect() as con:
            rows = con.execute("SELECT name, age FROM students WHERE owner_id = ? ORDER BY id",
                               (int(self._user["id"]),)).fetchall()
        return [(row["name"], row["age"]) for row in rows]

    def refresh_summary(self) -> None:
        """Dashboard hook: how many students the user has."""
        if self._user is not None:
            count = len(self._students())
            self._components["dashboard_summary"] = f"{self._user['username']} 共有 {count} 名学生"

    def load_students(self) -> None:
        """Student page hook: the user's students, one per line."""
        lines = [name if age is None else f"{name}（{age} 岁）" for name, age in self._students()]
        self._components["student_list"] = "\n".join(lines) or "（暂无学生）"
