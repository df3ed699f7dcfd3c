// The login page: one POST of the name and password, then the page the visitor asked for.
'use strict';

(function () {
    const form = document.getElementById('login-form');
    const message = document.getElementById('login-message');
    const button = document.getElementById('login-button');

    function target() {
        const next = new URLSearchParams(location.search).get('next');
        const path = QST.localPath(next);
        return path && !path.startsWith('/login') ? path : '/meters';
    }

    form.addEventListener('submit', async function (event) {
        event.preventDefault();
        QST.showMessage(message, '');
        button.disabled = true;
        try {
            await QST.request('/api/v1/session', {
                method: 'POST',
                noRedirect: true,
                body: { user: form.user.value.trim(), password: form.password.value },
            });
            location.assign(target());
        } catch (e) {
            let text = e.message;
            if (e.status === 429 && e.retryAfter)
                text += ' Повторите через ' + e.retryAfter + ' с.';
            QST.showMessage(message, text);
            form.password.value = '';
            form.password.focus();
        } finally {
            button.disabled = false;
        }
    });

    form.user.focus();
    // A visitor who is still logged in goes on at once.
    QST.request('/api/v1/session', { noRedirect: true }).then(() => location.replace(target()), () => {});
})();
